#pragma once

#include <QString>

// Makes sure that the program folder followed by `Directory` exists, creating
// every missing folder along the path. Throws UpdateFailure when a folder
// cannot be created (a plain file in the way, no permission).
void VerifyDir(const QString &Directory);

// True when `path` names an existing entry, folder or file. The lookup is
// literal: "*" and "?" are ordinary characters.
bool DirExists(const QString &path);
