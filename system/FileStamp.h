#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

// What a regular file looks like to the file system, to the nanosecond:
// which file it is (device and file number; volume and file ID on Windows),
// its size, and its modification and status-change times. A file replaced
// by a rename has another identity; a rewrite in place moves the change
// time, which no ordinary program can set back, even where it puts the old
// modification time back. So an unchanged stamp means unchanged bytes,
// once the file's last change lies further back than the clock can blur
// (see settledBefore).
struct FileStamp {
    quint64 device = 0;
    quint64 file = 0;
    qint64 size = 0;
    qint64 modified = 0; // nanoseconds since 1970
    qint64 changed = 0;  // nanoseconds since 1970
    bool operator==(const FileStamp &) const = default;

    // The stamp of the regular file at `path`; nothing for a folder, a
    // device, or a file that cannot be looked at. A link is followed.
    static std::optional<FileStamp> of(const QString &path);

    // The system clock in nanoseconds since 1970.
    static qint64 now();

    // Whether every rewrite after `when` (a time from now()) is bound to
    // change this stamp: the file's last change lies further back than the
    // file system's clock can blur. Linux and NTFS stamp with a clock that
    // moves every 1 to 16 ms; a time in whole hundredths of a second (FAT's
    // 2 s, 1 s file systems, exFAT's 10 ms) marks a coarse one. Until then a
    // stamp alone cannot vouch for the bytes.
    bool settledBefore(qint64 when) const;
};
