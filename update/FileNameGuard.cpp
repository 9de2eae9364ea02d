#include "update/FileNameGuard.h"

#include "profile/ProgramFolder.h"

#include <QDir>
#include <QRegularExpression>
#include <algorithm>

namespace
{

bool ClimbsUp(const QString &component)
{
    if (component.count(QLatin1Char('.')) < 2)
        return false;
    for (const QChar c : component) {
        if (c != QLatin1Char('.') && c != QLatin1Char(' '))
            return false;
    }
    return true;
}

} // namespace

bool FileNameGuard::StaysInside(const QString &name)
{
    if (name.contains(QLatin1Char(':')))
        return false;
    static const QRegularExpression separators(QStringLiteral(R"([\\/])"));
    const QStringList components = name.split(separators);
    return std::none_of(components.cbegin(), components.cend(), ClimbsUp);
}

bool FileNameGuard::IsProfile(const QString &target)
{
    const QString clean = QDir::cleanPath(QDir::fromNativeSeparators(target));
    for (const QString &profile : {InitIniPath(), UpdatesIniPath()}) {
        if (clean.compare(QDir::cleanPath(QDir::fromNativeSeparators(profile)),
                          Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}
