#include "update/ProgramFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace
{

QString &chosenFolder()
{
    static QString folder;
    return folder;
}

} // namespace

QString ProgramFolder()
{
    const QString &chosen = chosenFolder();
    return QDir::toNativeSeparators(chosen.isEmpty() ? QCoreApplication::applicationDirPath()
                                                     : chosen);
}

void SetProgramFolder(const QString &folder)
{
    chosenFolder() = folder;
}

QString ProgramPath(const QString &suffix)
{
    QString nativeSuffix = suffix;
    nativeSuffix.replace(u'\\', QDir::separator());
    return ProgramFolder() + nativeSuffix;
}

QString InitIniPath()
{
    return ProgramPath(QStringLiteral("\\updates\\init.ini"));
}

QString UpdatesIniPath()
{
    return ProgramPath(QStringLiteral("\\updates\\updates.ini"));
}

QString ProgramFilePath()
{
    return ProgramFolder() + QDir::separator() +
           QFileInfo(QCoreApplication::applicationFilePath()).fileName();
}
