#pragma once

#include <QString>
#include <memory>

class QLockFile;

// One update run per game folder. Two updaters in one folder would fetch
// their lists over the same updates.ini and replace the same files, and the
// one that finishes last would record an update that the other installed,
// or never installed at all.
//
// The lock is a file in the updates folder that names the process holding
// it. It is held until the RunLock is destroyed; a lock left by a process
// that no longer runs (a crash, a kill) is taken over.
class RunLock
{
public:
    RunLock();
    ~RunLock();

    // False only when another running updater holds the lock of this folder.
    // Where no lock file can be made at all (no updates folder, a read-only
    // one), the run goes on without it: it cannot write the profiles there
    // either.
    bool take();

    // The lock file of the program folder.
    static QString path();

private:
    std::unique_ptr<QLockFile> m_lock;
};
