#include "update/FileNameGuard.h"

#include "format/UpdaterFiles.h"
#include "update/ProgramFolder.h"
#include "update/StagedUpdate.h"

#include <QRegularExpression>
#include <QStringList>
#include <algorithm>

namespace
{

bool onlyDotsAndBlanks(const QString &component)
{
    return std::all_of(component.cbegin(), component.cend(),
                       [](QChar c) { return c == QLatin1Char('.') || c == QLatin1Char(' '); });
}

bool climbsUp(const QString &component)
{
    return component.count(QLatin1Char('.')) >= 2 && onlyDotsAndBlanks(component);
}

QStringList components(const QString &path)
{
    static const QRegularExpression separators(QStringLiteral(R"([\\/])"));
    return path.split(separators);
}

} // namespace

bool FileNameGuard::staysInside(const QString &name)
{
    if (name.contains(QLatin1Char(':')))
        return false;
    const QStringList parts = components(name);
    return std::none_of(parts.cbegin(), parts.cend(), climbsUp);
}

std::optional<QString> FileNameGuard::relativeTarget(const QString &suffix)
{
    if (suffix.isEmpty() || suffix.contains(QLatin1Char(':')) ||
        !(suffix.front() == QLatin1Char('\\') || suffix.front() == QLatin1Char('/')))
        return std::nullopt;
    QStringList kept;
    for (const QString &component : components(suffix)) {
        if (component.isEmpty() || component == QLatin1String("."))
            continue;
        if (onlyDotsAndBlanks(component))
            return std::nullopt;
        kept.append(component);
    }
    // The last component is the file itself: a suffix that ends in a
    // separator (an empty FileName) names a folder.
    const QString last = components(suffix).constLast();
    if (kept.isEmpty() || last.isEmpty() || last == QLatin1String("."))
        return std::nullopt;
    return kept.join(QLatin1Char('/'));
}

QString FileNameGuard::normalised(const QString &path)
{
    QStringList kept;
    for (QString component : components(path)) {
        if (climbsUp(component)) {
            if (!kept.isEmpty())
                kept.removeLast();
            continue;
        }
        while (component.endsWith(QLatin1Char('.')) || component.endsWith(QLatin1Char(' ')))
            component.chop(1);
        if (!component.isEmpty())
            kept.append(component.toCaseFolded());
    }
    const bool rooted = path.startsWith(QLatin1Char('/')) || path.startsWith(QLatin1Char('\\'));
    return (rooted ? QStringLiteral("/") : QString()) + kept.join(QLatin1Char('/'));
}

bool FileNameGuard::isProtected(const QString &target)
{
    const QString name = normalised(target);
    if (name == normalised(programFilePath()))
        return true;
    for (const QString &kept : UpdaterFiles::keptFiles()) {
        if (name == normalised(gamePath(kept)))
            return true;
    }
    // A file of the update written into the staging folder would be moved
    // again by the commit, or land over a staged file of another target.
    const QString staging = normalised(StagedUpdate::stagingFolder());
    return name == staging || name.startsWith(staging + QLatin1Char('/'));
}

bool FileNameGuard::isUpdaterProgram(const QString &target)
{
    const QString name = normalised(target);
    const QString root = normalised(programFolder());
    return name == normalised(programFilePath()) ||
           (name.endsWith(QLatin1String(".dll")) && name.startsWith(root + QLatin1Char('/')) &&
            !name.sliced(root.size() + 1).contains(QLatin1Char('/')));
}
