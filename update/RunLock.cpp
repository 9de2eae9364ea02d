#include "update/RunLock.h"

#include "update/ProgramFolder.h"

QString RunLock::path()
{
    return programPath(QStringLiteral("\\updates\\updater.lock"));
}

bool RunLock::take()
{
    return m_lock.tryLock(path()) != SystemFiles::FileLock::Result::HeldElsewhere;
}
