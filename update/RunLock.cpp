#include "update/RunLock.h"

#include "update/ProgramFolder.h"

#include <QLockFile>

RunLock::RunLock() = default;

RunLock::~RunLock() = default;

QString RunLock::path()
{
    return programPath(QStringLiteral("\\updates\\updater.lock"));
}

bool RunLock::take()
{
    m_lock = std::make_unique<QLockFile>(path());
    // A run may take far longer than QLockFile's default of 30 s, so a lock
    // counts as stale only when its process has gone, never by its age.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0))
        return true;
    return m_lock->error() != QLockFile::LockFailedError;
}
