#pragma once

#include <QString>
#include <QtGlobal>

// The file-system questions of an update whose answers differ between
// operating systems, kept here with the other platform calls so that the
// update run itself holds no such branches.
namespace SystemFiles
{

// Why the file at `path` cannot be replaced by a rename right now, or empty
// text when it can: on Windows a file that a running program (the game) holds
// open without sharing it for deletion, or a read-only one; on Linux a file,
// or the folder it lies in, marked immutable or append-only, or a folder the
// updater may not write. Asked of every target before a commit moves
// anything, so that a commit never starts what it cannot finish.
QString replaceBlocker(const QString &path);

// True when `path` is a regular file, not a link (or a Windows junction or
// shortcut) that leads to one: a link planted in the updater's folders
// could make it hash, reuse or install a file from anywhere.
bool isRegularFile(const QString &path);
// True when `path` is a folder of its own, not a link to one.
bool isRealFolder(const QString &path);

// Puts the file `staged` in the place of `target`, a program that may be
// running now (the updater itself or one of its libraries), on the same
// volume. On Linux a rename over it: the running process keeps the old file
// until it ends. On Windows a running program cannot be replaced but can be
// renamed: it is set aside as `target` + ".old" first, and the new file
// moved in; a failure of that second step puts the old one back. A target
// already gone (set aside by a commit cut short) is simply moved in. Returns
// empty text, or why it failed.
QString replaceRunning(const QString &staged, const QString &target);

// Removes what replaceRunning set aside in `folder` by an earlier run (on
// Windows the ".exe.old" and ".dll.old" files, no longer running); one
// still held stays for a later start. Nothing to do on Linux.
void removeSetAside(const QString &folder);

// An exclusive lock on a file that the operating system gives up when the
// process that holds it ends, however it ends: no lock is ever left behind
// by a crash or a kill, and no live holder is ever taken for a dead one.
class FileLock
{
public:
    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    enum class Result { Taken, HeldElsewhere, Unavailable };
    // Opens (or makes) `path` and takes the lock without waiting. A link in
    // the lock's place is never followed: it is removed and a file made.
    // Unavailable: the file cannot be made or locked at all.
    Result tryLock(const QString &path);

private:
    qintptr m_handle = -1;
};

} // namespace SystemFiles
