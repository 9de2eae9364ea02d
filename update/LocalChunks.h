#pragma once

#include "format/ChunkIndex.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <atomic>
#include <optional>

// What the player already has of a file that is rebuilt from its chunks:
// the file being built (left by an earlier run cut short) is checked chunk
// by chunk at each chunk's place, and every other local copy (the installed
// version, an older staged one) is cut with the publisher's chunker, each of
// its chunks looked up by SHA-256 in the new version's index. A chunk found
// anywhere is written into the file being built, at its place; only the
// others travel.
//
// Reads the files in large blocks: call it off the window's thread.
namespace LocalChunks
{
// Makes `work` a file of `size` bytes (keeping what it holds when it already
// has that size) and brings into it every chunk of `chunks` found in it or in
// `sources` (a missing or unreadable source is skipped). Returns, for each
// chunk, whether `work` now holds it; nullopt when `work` cannot be made,
// read or written, or when `stop` was set (it is checked between blocks).
std::optional<QList<bool>> gather(const QString &work, qint64 size,
                                  const QList<ChunkIndex::Chunk> &chunks,
                                  const QStringList &sources, const std::atomic_bool &stop);
} // namespace LocalChunks
