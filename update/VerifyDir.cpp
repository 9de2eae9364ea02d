#include "update/VerifyDir.h"

#include "update/ProgramFolder.h"
#include "update/UpdateFailure.h"

#include <QDir>
#include <QFileInfo>

void VerifyDir(const QString &Directory)
{
    const QString fullPath = programPath(Directory);
    if (DirExists(fullPath))
        return;
    // Every missing folder along the path is made, so that a list naming a
    // file in "\data\maps" before "\data" exists still gets its folder.
    if (!QDir().mkpath(fullPath))
        throw UpdateFailure("Cannot create the folder " + fullPath.toStdString());
}

bool DirExists(const QString &path)
{
    return QFileInfo::exists(path);
}
