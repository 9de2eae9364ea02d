#include "format/ChunkIndex.h"

#include "format/Chunker.h"

#include <QIODevice>
#include <QtEndian>
#include <memory>
#include <openssl/evp.h>

static_assert(sizeof(ChunkIndex::Magic) == ChunkIndex::MagicSize + 1);
static_assert(ChunkIndex::Magic[6] == '0' + Chunker::FormatVersion);
// A length must fit its u32.
static_assert(Chunker::MaxSize <= 0xffffffff);

QByteArray ChunkIndex::write(const QList<Chunk> &chunks)
{
    QByteArray bytes(Magic, MagicSize);
    bytes.reserve(MagicSize + chunks.size() * RecordSize);
    for (const Chunk &chunk : chunks) {
        char record[8 + 4];
        qToLittleEndian<quint64>(quint64(chunk.offset), record);
        qToLittleEndian<quint32>(quint32(chunk.length), record + 8);
        bytes.append(record, sizeof record);
        bytes.append(chunk.sha256.leftJustified(32, '\0', true));
    }
    return bytes;
}

std::optional<QList<ChunkIndex::Chunk>> ChunkIndex::parse(QByteArrayView bytes, qint64 fileSize)
{
    if (bytes.size() < MagicSize || bytes.first(MagicSize) != QByteArrayView(Magic, MagicSize) ||
        (bytes.size() - MagicSize) % RecordSize != 0 || bytes.size() > sizeLimit(fileSize))
        return std::nullopt;
    const qsizetype count = (bytes.size() - MagicSize) / RecordSize;
    QList<Chunk> chunks;
    chunks.reserve(count);
    qint64 expectedOffset = 0;
    for (qsizetype n = 0; n < count; ++n) {
        const char *record = bytes.data() + MagicSize + n * RecordSize;
        const quint64 offset = qFromLittleEndian<quint64>(record);
        const qint64 length = qFromLittleEndian<quint32>(record + 8);
        // A chunk the chunker could not have cut would make the updater
        // fetch or trust ranges nobody hashed as they are listed; the lower
        // bound on lengths also bounds the number of records a file may have.
        const bool last = n + 1 == count;
        if (offset != quint64(expectedOffset) || length == 0 || length > Chunker::MaxSize ||
            (!last && length < Chunker::MinSize) || length > fileSize - expectedOffset)
            return std::nullopt;
        chunks.append({expectedOffset, length, QByteArray(record + 12, 32)});
        expectedOffset += length;
    }
    if (expectedOffset != fileSize)
        return std::nullopt;
    return chunks;
}

qint64 ChunkIndex::sizeLimit(qint64 fileSize)
{
    const qint64 chunks = fileSize <= 0 ? 0 : (fileSize + Chunker::MinSize - 1) / Chunker::MinSize;
    return MagicSize + chunks * RecordSize;
}

ChunkIndex::ChunkedFile ChunkIndex::chunkFile(QIODevice &device)
{
    ChunkedFile result;
    const auto fail = [&result](const QString &error) {
        result.chunks.clear();
        result.error = error;
        return result;
    };
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> hash(EVP_MD_CTX_new(),
                                                                       &EVP_MD_CTX_free);
    if (!hash || EVP_DigestInit_ex(hash.get(), EVP_sha256(), nullptr) != 1)
        return fail(QStringLiteral("cannot start SHA-256"));
    const auto endChunk = [&](qint64 end) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int digestSize = 0;
        if (EVP_DigestFinal_ex(hash.get(), digest, &digestSize) != 1 ||
            EVP_DigestInit_ex(hash.get(), EVP_sha256(), nullptr) != 1)
            return false;
        const qint64 offset =
            result.chunks.isEmpty() ? 0 : result.chunks.last().offset + result.chunks.last().length;
        result.chunks.append(
            {offset, end - offset, QByteArray(reinterpret_cast<const char *>(digest), digestSize)});
        return true;
    };

    Chunker chunker;
    std::vector<qint64> ends;
    QByteArray buffer(4 << 20, Qt::Uninitialized);
    qint64 position = 0; // of the buffer's first byte in the stream
    for (;;) {
        const qint64 got = device.read(buffer.data(), buffer.size());
        if (got < 0)
            return fail(QStringLiteral("cannot read: %1").arg(device.errorString()));
        if (got == 0)
            break;
        ends.clear();
        chunker.feed(buffer.constData(), got, ends);
        qint64 hashed = 0; // bytes of the buffer hashed so far
        for (const qint64 end : ends) {
            if (EVP_DigestUpdate(hash.get(), buffer.constData() + hashed,
                                 std::size_t(end - position - hashed)) != 1 ||
                !endChunk(end))
                return fail(QStringLiteral("cannot compute SHA-256"));
            hashed = end - position;
        }
        if (EVP_DigestUpdate(hash.get(), buffer.constData() + hashed, std::size_t(got - hashed)) !=
            1)
            return fail(QStringLiteral("cannot compute SHA-256"));
        position += got;
    }
    if (const std::optional<qint64> last = chunker.finish(); last && !endChunk(*last))
        return fail(QStringLiteral("cannot compute SHA-256"));
    return result;
}
