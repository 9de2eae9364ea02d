#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>

// True when the file at `path` is exactly `size` bytes whose SHA-256 is
// `sha256` (32 bytes). Reads the whole file: call it off the window's thread.
bool fileMatches(const QString &path, qint64 size, const QByteArray &sha256);

// One file to check: its path and what it must be.
struct FileCheck {
    QString path;
    qint64 size = 0;
    QByteArray sha256;
};

// fileMatches for each of `files`, on Qt's thread pool (as many threads as
// the machine has cores). `wait` is called with a test of whether all are
// done and returns once it holds, so that its caller keeps its window
// answering meanwhile. The answers come in the order of `files`; a link is
// never followed (it does not match).
QList<bool> filesMatch(const QList<FileCheck> &files,
                       const std::function<void(const std::function<bool()> &)> &wait);

// Copies the file `from` to `to` in one pass that also hashes it, and puts
// the copy in place (in one step) only when it is exactly `size` bytes with
// this SHA-256; otherwise `to` stays as it was. False then, or when a read
// or a write fails. A link is never followed. Call it off the window's thread.
bool copyMatching(const QString &from, const QString &to, qint64 size, const QByteArray &sha256);

// How many bytes fileMatches has read in this process: tests and the
// benchmarks see what a run cost the disk.
qint64 bytesHashed();
