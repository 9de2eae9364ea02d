#pragma once

#include <QtGlobal>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

// Content-defined chunking (FastCDC: a gear rolling hash with normalized
// chunking). A cut depends only on the bytes just before it, so an insertion
// or a deletion moves the cuts around it and nowhere else: the chunks of an
// old version of a file are found again in the new one, and only the changed
// ones travel.
//
// The publisher's tool and the updater must cut every file at exactly the
// same places, or no chunk would ever match. The gear table, the masks and
// the sizes below are therefore part of the format: changing any of them
// changes every index, and must come with a new FormatVersion (which names
// the index format, see ChunkIndex.h).
class Chunker
{
public:
    static constexpr int FormatVersion = 1;

    // Below MinSize a cut is never looked for, so that edits cannot make
    // tiny chunks, each costing an index record and a request of its own;
    // these bytes are not even hashed, which is most of the speed.
    static constexpr qint64 MinSize = 16 * 1024;
    // What a change costs at least, and the index's size: ~40 bytes a chunk,
    // ~0.06% of the file.
    static constexpr qint64 AverageSize = 64 * 1024;
    // Bounds a chunk on data that never matches a mask (runs of one byte).
    static constexpr qint64 MaxSize = 256 * 1024;

    // Normalized chunking: two bits more than log2(AverageSize) before the
    // average size, two fewer after it, which gathers the sizes around the
    // average. The bits are the hash's high ones, each depending on the last
    // 46 to 63 bytes; bit 63 is left out so that a mask shifted left by one
    // keeps all its bits (for a two-bytes-a-step loop).
    static constexpr std::uint64_t MaskSmall = ((std::uint64_t(1) << 18) - 1) << (63 - 18);
    static constexpr std::uint64_t MaskLarge = ((std::uint64_t(1) << 14) - 1) << (63 - 14);

    // 256 pseudo-random 64-bit values, from splitmix64 with a fixed seed.
    static const std::array<std::uint64_t, 256> Gear;

    // Feeds the next bytes of the stream; appends to `ends` the end offset
    // (absolute, from the stream's first byte) of every chunk that is complete
    // within them.
    void feed(const char *data, qint64 size, std::vector<qint64> &ends);
    // The end of the last chunk (the stream's length) if bytes are pending
    // since the last cut; nullopt otherwise. Resets the chunker for a new
    // stream.
    std::optional<qint64> finish();

private:
    qint64 m_chunkStart = 0; // absolute offset of the current chunk
    qint64 m_length = 0;     // bytes of the current chunk fed so far
    std::uint64_t m_hash = 0;
};
