#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <optional>

class QIODevice;

// The chunk index of one file: where the chunker (format/Chunker.h) cuts it,
// and the SHA-256 of every chunk. The updater compares it with what its own
// copy holds and fetches only the chunks it lacks, each by an HTTP range of
// the file, each checked against its digest here. The index itself is pinned
// by the signed list (ChunksSHA256), so no byte travels unpinned.
//
// The bytes: the 8-byte magic, then per chunk its offset (u64 little
// endian), its length (u32 little endian) and its raw SHA-256 (32 bytes).
namespace ChunkIndex
{

// The digit names the chunker's FormatVersion: a chunker cutting elsewhere
// must come with a new magic.
inline constexpr char Magic[] = "UPDCHK1\n";
inline constexpr qint64 MagicSize = 8;
inline constexpr qint64 RecordSize = 8 + 4 + 32;

// Below this a file is fetched whole: its index and the round trips would
// save little.
inline constexpr qint64 SmallestChunkedFile = 1024 * 1024;

struct Chunk {
    qint64 offset = 0;
    qint64 length = 0;
    QByteArray sha256; // the raw 32 bytes
    friend bool operator==(const Chunk &, const Chunk &) = default;
};

QByteArray write(const QList<Chunk> &chunks);

// The chunks of a file of `fileSize` bytes, or nullopt when `bytes` are not
// such an index as the chunker makes: a wrong magic, a truncated record or
// trailing bytes, offsets that do not follow each other from 0, a length of
// 0, one above the chunker's MaxSize, one below its MinSize on any chunk but
// the last, or a total other than `fileSize`. Every mirror may serve the
// index, so nothing in it is trusted before these checks.
std::optional<QList<Chunk>> parse(QByteArrayView bytes, qint64 fileSize);

// The size of the largest index parse() accepts for a file of `fileSize`
// bytes (every chunk but the last at the chunker's MinSize): the cap on its
// download.
qint64 sizeLimit(qint64 fileSize);

struct ChunkedFile {
    QList<Chunk> chunks;
    QString error; // empty on success; otherwise what failed, and `chunks` is empty
};

// Reads `device` from its current position to its end, in large blocks, and
// cuts and hashes it. Fails when a read fails or SHA-256 cannot run.
ChunkedFile chunkFile(QIODevice &device);

} // namespace ChunkIndex
