#include "update/RunLock.h"

#include "format/UpdaterFiles.h"
#include "update/ProgramFolder.h"

QString RunLock::path()
{
    return gamePath(UpdaterFiles::RunLock);
}

bool RunLock::take()
{
    return m_lock.tryLock(path()) != SystemFiles::FileLock::Result::HeldElsewhere;
}
