#include "tools/PackNames.h"

#include "format/UpdaterFiles.h"

#include <QHash>

namespace
{

QString componentProblem(const QString &name)
{
    for (const QChar c : name) {
        if (c == u':')
            return QStringLiteral("contains \":\", which the updater refuses");
        if (c == u'\\')
            return QStringLiteral("contains \"\\\", which the updater reads as a folder separator");
        if (c.category() == QChar::Other_Control)
            return QStringLiteral("contains a control character");
        if (QStringView(u"<>\"|?*").contains(c))
            return QStringLiteral("contains one of <>\"|?*, which Windows does not allow in names");
        if (c == QChar::ReplacementCharacter)
            return QStringLiteral("is not valid UTF-8");
    }
    // Windows drops trailing dots and blanks, and the updater reads a name of
    // dots and blanks such as "..." as "..", a step out of its folder.
    if (name.endsWith(u'.') || name.endsWith(u' '))
        return QStringLiteral("ends in \".\" or a blank, which Windows drops (and \"..\" "
                              "climbs out of the folder)");
    static const QStringList devices = {
        QStringLiteral("CON"),  QStringLiteral("PRN"),  QStringLiteral("AUX"),
        QStringLiteral("NUL"),  QStringLiteral("COM1"), QStringLiteral("COM2"),
        QStringLiteral("COM3"), QStringLiteral("COM4"), QStringLiteral("COM5"),
        QStringLiteral("COM6"), QStringLiteral("COM7"), QStringLiteral("COM8"),
        QStringLiteral("COM9"), QStringLiteral("LPT1"), QStringLiteral("LPT2"),
        QStringLiteral("LPT3"), QStringLiteral("LPT4"), QStringLiteral("LPT5"),
        QStringLiteral("LPT6"), QStringLiteral("LPT7"), QStringLiteral("LPT8"),
        QStringLiteral("LPT9")};
    const QString stem = name.section(u'.', 0, 0).trimmed();
    if (devices.contains(stem, Qt::CaseInsensitive))
        return QStringLiteral("is a device name on Windows");
    return {};
}

// The updater's own files: its program at the game folder's root and its
// working files in updates/. It refuses a list that names any of them, so a
// release that ships one fails every player's every run. Compared as Windows
// reads names: letter case folded, trailing dots and blanks dropped.
bool isUpdatersOwn(const QString &relativePath, bool includeUpdater)
{
    QStringList components;
    for (QString component : relativePath.split(u'/')) {
        while (component.endsWith(u'.') || component.endsWith(u' '))
            component.chop(1);
        components.append(component.toCaseFolded());
    }
    const QString path = components.join(u'/');
    static const QStringList owned = UpdaterFiles::protectedNames();
    if (includeUpdater &&
        (path == UpdaterFiles::ProgramFile || path == UpdaterFiles::WindowsProgramFile))
        return false;
    return owned.contains(path) || UpdaterFiles::isInStaging(path);
}

} // namespace

QString PackNames::problem(const QString &relativePath, bool includeUpdater)
{
    if (isUpdatersOwn(relativePath, includeUpdater))
        return QStringLiteral("is the updater's own file, which it refuses to receive");
    for (const QString &component : relativePath.split(u'/')) {
        if (component.isEmpty())
            return QStringLiteral("has an empty name");
        const QString problem = componentProblem(component);
        if (!problem.isEmpty())
            return problem;
    }
    return {};
}

std::optional<std::pair<QString, QString>> PackNames::caseTwins(const QStringList &relativePaths)
{
    QHash<QString, QString> seen; // folded name -> name as found
    for (const QString &path : relativePaths) {
        for (qsizetype end = path.indexOf(u'/');; end = path.indexOf(u'/', end + 1)) {
            const QString name = end < 0 ? path : path.first(end);
            const QString folded = name.toCaseFolded();
            const auto found = seen.constFind(folded);
            if (found == seen.cend())
                seen.insert(folded, name);
            else if (*found != name)
                return std::pair{*found, name};
            if (end < 0)
                break;
        }
    }
    return std::nullopt;
}
