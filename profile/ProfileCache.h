#pragma once

#include "profile/ProfileFile.h"

#include <QString>
#include <memory>

// The profile files are read far more often than they change: the file loop
// reads three keys of every file section of a list of thousands. Parsing the
// whole list for each key made the loop grow with the square of the number of
// files, so the indexed content of the last few files read is kept for as
// long as each file is unchanged.
//
// Unchanged means the same identity (device and file number), size, and
// modification and status-change times to the file system's full
// resolution. A replacement by rename (as WriteIni and the downloads do) has
// a new identity; a rewrite in place moves the status-change time, which no
// program can set back. What a stamp cannot show is a rewrite of the same
// size within the same tick of the file system's clock as the change before
// it. So a stamp is trusted only once the file's last change lies further
// back than such a tick: until then, each read compares the content read
// anew with the kept one.
namespace ProfileCache
{

// The content of `file` as it is now, indexed; null when it cannot be read.
std::shared_ptr<const ProfileFile::Index> current(const QString &file);

// Tests make every stamp trusted at once, so that only the stamp can show
// a rewrite.
void trustStampsAtOnceForTests(bool atOnce);

} // namespace ProfileCache
