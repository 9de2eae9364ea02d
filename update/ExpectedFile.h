#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// What a file section of the update list says the file must be: its "Size"
// and its "SHA256", each optional. A value that is present but malformed sets
// `malformed`: the file then fails, since a pin that is silently ignored would
// let a changed file through.
struct ExpectedFile {
    bool malformed = false;
    // Bytes: decimal digits only, no sign, within qint64.
    std::optional<qint64> size;
    // The 32 bytes of the digest, from exactly 64 hex digits of either case.
    std::optional<QByteArray> sha256;
};

// `size` and `sha256` as read from the profile; empty text means absent.
ExpectedFile parseExpectedFile(const QString &size, const QString &sha256);
