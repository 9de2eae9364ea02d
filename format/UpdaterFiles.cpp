#include "format/UpdaterFiles.h"

QStringList UpdaterFiles::keptFiles()
{
    return {InitIni, UpdatesIni, UpdatesIniSignature, ArrivingList, ArrivingSignature,
            RunLock, Journal, StateCache};
}

QStringList UpdaterFiles::protectedNames()
{
    return keptFiles() + QStringList{StagingFolder, ProgramFile, WindowsProgramFile};
}

bool UpdaterFiles::isInStaging(const QString &path)
{
    return path.startsWith(StagingFolder + QLatin1Char('/'));
}
