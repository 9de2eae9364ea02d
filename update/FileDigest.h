#pragma once

#include <QByteArray>
#include <QString>

// True when the file at `path` is exactly `size` bytes whose SHA-256 is
// `sha256` (32 bytes). Reads the whole file: call it off the window's thread.
bool fileMatches(const QString &path, qint64 size, const QByteArray &sha256);

// How many bytes fileMatches has read in this process: tests and the
// benchmarks see what a run cost the disk.
qint64 bytesHashed();
