#pragma once

#include <QString>
#include <optional>

// The names a folder holds as the system stores them, before Qt reads them.
// Qt's folder listing leaves out a name that is not valid UTF-8 without a
// word, so a game file with such a name would be missing from the release
// while the publisher believes it shipped.
namespace FolderNames
{

// The first name in `folder` that is not valid UTF-8, decoded with
// replacement characters for the message; empty text when every name is
// valid; no value when the folder cannot be listed. Windows keeps names in
// UTF-16, which Qt always lists, so there it finds none.
std::optional<QString> firstUndecodable(const QString &folder);

} // namespace FolderNames
