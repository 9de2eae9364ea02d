#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <vector>

// The file-system calls that put files and renames on the disk for good: the
// downloads' bodies, the update list, and the commit's journal and folders.
// The descriptor calls take those of QFileDevice::handle(). This is the one
// place where the operating systems differ in how that is done.

// Writes the data of the open files through to the disk, so that a rename over
// another file that follows cannot leave a file with a name but no bytes after
// a power cut. Blocks until the disk has the data. One call covers a batch:
// where the system can, it syncs each file system the files lie on once
// instead of each file on its own, which costs one journal commit in place of
// one per file. Safe on any thread while another thread writes the files.
bool flushToDisk(const std::vector<qintptr> &handles);

// The same for closed files named by path, however many: where the system
// syncs a whole file system, one file of each stands for the rest and only it
// is opened, so the call costs one journal commit per file system and no more
// open files than one. False when a file cannot be opened or flushed.
bool flushFilesToDisk(const QStringList &paths);

// Starts writing what the file holds so far to the disk without waiting for
// it, so that little is left for flushToDisk once a large body is complete.
void startWriteBack(qintptr handle);

// Puts the closed file `from` in the place of `to` in one step: a reader sees
// either the old file whole or the new one whole.
bool replaceFile(const QString &from, const QString &to);

// Asks the system to put what it holds of `path` (a file, or a folder's list
// of names) on the disk before returning; false when `path` cannot be opened
// or the system reports the write failed. A rename is durable only once its
// folder is: without this, a power cut can bring back a journal that was
// already removed, or lose one that was written.
bool syncToDisk(const QString &path);
