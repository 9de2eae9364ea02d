#include "format/Chunker.h"

#include <algorithm>

namespace
{

constexpr std::array<std::uint64_t, 256> makeGear()
{
    std::array<std::uint64_t, 256> table{};
    std::uint64_t state = 0x5550'4443'484b'0001; // fixed: part of the format
    for (std::uint64_t &value : table) {
        state += 0x9e37'79b9'7f4a'7c15;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xbf58'476d'1ce4'e5b9;
        z = (z ^ (z >> 27)) * 0x94d0'49bb'1331'11eb;
        value = z ^ (z >> 31);
    }
    return table;
}

constexpr std::array<std::uint64_t, 256> GearTable = makeGear();

constexpr std::array<std::uint64_t, 256> shiftedLeft(std::array<std::uint64_t, 256> table)
{
    for (std::uint64_t &value : table)
        value <<= 1;
    return table;
}
constexpr std::array<std::uint64_t, 256> GearShifted = shiftedLeft(GearTable);

// Rolls the hash over [p, end) and returns the position just after the first
// byte whose hash has no bit of `mask` set, or nullptr. Two bytes a step, as
// FastCDC's later version does: after the first byte the hash is kept
// shifted left by one (its top bit lost, which the masks never test), so
// the step costs one shift and two additions, and each byte one mask test.
// The cuts are exactly those of one byte a step.
const unsigned char *findCut(const unsigned char *p, const unsigned char *end, std::uint64_t &hash,
                             std::uint64_t mask)
{
    static_assert((Chunker::MaskSmall | Chunker::MaskLarge) >> 63 == 0);
    const std::uint64_t shiftedMask = mask << 1;
    std::uint64_t h = hash;
    for (; end - p >= 2; p += 2) {
        h = (h << 2) + GearShifted[p[0]];
        if ((h & shiftedMask) == 0) {
            hash = h;
            return p + 1;
        }
        h += GearTable[p[1]];
        if ((h & mask) == 0) {
            hash = h;
            return p + 2;
        }
    }
    if (p < end) {
        h = (h << 1) + GearTable[*p++];
        if ((h & mask) == 0) {
            hash = h;
            return p;
        }
    }
    hash = h;
    return nullptr;
}

} // namespace

const std::array<std::uint64_t, 256> Chunker::Gear = GearTable;

void Chunker::feed(const char *data, qint64 size, std::vector<qint64> &ends)
{
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    const unsigned char *const end = p + size;
    while (p < end) {
        if (m_length < MinSize) {
            const qint64 skip = std::min<qint64>(MinSize - m_length, end - p);
            p += skip;
            m_length += skip;
            continue;
        }
        const bool beforeAverage = m_length < AverageSize;
        const qint64 limit = beforeAverage ? AverageSize : MaxSize;
        const unsigned char *const stop = p + std::min<qint64>(limit - m_length, end - p);
        const unsigned char *const cut =
            findCut(p, stop, m_hash, beforeAverage ? MaskSmall : MaskLarge);
        const unsigned char *const next = cut ? cut : stop;
        m_length += next - p;
        p = next;
        if (cut || m_length == MaxSize) {
            m_chunkStart += m_length;
            ends.push_back(m_chunkStart);
            m_length = 0;
            m_hash = 0;
        }
    }
}

std::optional<qint64> Chunker::finish()
{
    const std::optional<qint64> last =
        m_length > 0 ? std::optional<qint64>(m_chunkStart + m_length) : std::nullopt;
    *this = Chunker();
    return last;
}
