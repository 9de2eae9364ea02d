#pragma once

#include "system/SystemFiles.h"

#include <QString>

// One update run per game folder. Two updaters in one folder would fetch
// their lists over the same updates.ini and replace the same files, and the
// one that finishes last would record an update that the other installed,
// or never installed at all.
//
// The lock is an exclusive lock of the operating system on a file in the
// updates folder, held until the RunLock is destroyed or the process ends
// (a crash and a kill included). Nothing in the file counts: a file left
// empty, with other bytes, or by another machine never locks the folder.
class RunLock
{
public:
    // False only when another running updater holds the lock of this folder.
    // Where no lock can be had at all (no updates folder, a read-only one),
    // the run goes on without it: it cannot write the profiles there either.
    bool take();

    // The lock file of the program folder.
    static QString path();

private:
    SystemFiles::FileLock m_lock;
};
