#pragma once

#include <QString>

// Asks the system to put what it holds of `path` (a file, or a folder's list
// of names) on the disk before returning. A rename is durable only once its
// folder is: without this, a power cut can bring back a journal that was
// already removed, or lose one that was written.
bool syncToDisk(const QString &path);
