#include "update/ProgramFolder.h"

#include "format/UpdaterFiles.h"

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

QString programFolder()
{
    const QString &chosen = chosenFolder();
    return QDir::toNativeSeparators(chosen.isEmpty() ? QCoreApplication::applicationDirPath()
                                                     : chosen);
}

void setProgramFolder(const QString &folder)
{
    chosenFolder() = folder;
}

QString programPath(const QString &suffix)
{
    QString nativeSuffix = suffix;
    nativeSuffix.replace(u'\\', QDir::separator());
    return programFolder() + nativeSuffix;
}

QString gamePath(const QString &relative)
{
    return programFolder() + QDir::separator() + QDir::toNativeSeparators(relative);
}

QString initIniPath()
{
    return gamePath(UpdaterFiles::InitIni);
}

QString updatesIniPath()
{
    return gamePath(UpdaterFiles::UpdatesIni);
}

QString programFilePath()
{
    return programFolder() + QDir::separator() +
           QFileInfo(QCoreApplication::applicationFilePath()).fileName();
}
