#include "update/LocalChunks.h"

#include "format/Chunker.h"
#include "system/SystemFiles.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <cstring>
#include <openssl/evp.h>
#include <vector>

namespace
{

// Read at once from a local copy: large enough that a read costs little
// beside the hashing, small enough to stay far below the memory a run may
// take for a file of any size.
constexpr qint64 BlockSize = 4 * 1024 * 1024;

QByteArray sha256(const char *data, qint64 length)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(data, size_t(length), digest, &digestLength, EVP_sha256(), nullptr) != 1)
        return {};
    return QByteArray(reinterpret_cast<const char *>(digest), int(digestLength));
}

class Gatherer
{
public:
    Gatherer(QFile &work, const QList<ChunkIndex::Chunk> &chunks, const std::atomic_bool &stop)
        : m_work(work), m_chunks(chunks), m_held(chunks.size(), false), m_stop(stop)
    {
        for (qsizetype n = 0; n < chunks.size(); ++n)
            m_wanted[chunks[n].sha256].append(n);
    }

    // The chunks the file being built already holds at their places.
    bool checkInPlace()
    {
        std::vector<char> buffer(static_cast<size_t>(Chunker::MaxSize));
        for (qsizetype n = 0; n < m_chunks.size(); ++n) {
            const ChunkIndex::Chunk &chunk = m_chunks[n];
            if (m_stop || !m_work.seek(chunk.offset) ||
                m_work.read(buffer.data(), chunk.length) != chunk.length)
                return false;
            if (sha256(buffer.data(), chunk.length) == chunk.sha256)
                hold(n);
        }
        return true;
    }

    // Cuts `path` as the publisher's tool cut the new version and takes every
    // chunk the new version wants. False only when the file being built
    // cannot be written; a source that cannot be read is no source.
    bool takeFrom(const QString &path)
    {
        QFile source(path);
        if (m_wanted.isEmpty() || !SystemFiles::isRegularFile(path) ||
            !source.open(QIODevice::ReadOnly))
            return true;
        Chunker chunker;
        std::vector<qint64> ends;
        // The bytes from `start` on: a chunk not yet cut, then the block read.
        std::vector<char> buffer(size_t(BlockSize + Chunker::MaxSize));
        qint64 start = 0;
        qint64 held = 0;
        while (!m_stop) {
            const qint64 read = source.read(buffer.data() + held, BlockSize);
            if (read <= 0)
                break;
            chunker.feed(buffer.data() + held, read, ends);
            held += read;
            qint64 from = start;
            for (const qint64 end : ends) {
                if (!take(buffer.data() + (from - start), from, end))
                    return false;
                from = end;
            }
            ends.clear();
            // What is left of the block begins the next chunk.
            std::memmove(buffer.data(), buffer.data() + (from - start),
                         size_t(held - (from - start)));
            held -= from - start;
            start = from;
        }
        if (m_stop)
            return false;
        const std::optional<qint64> last = chunker.finish();
        return !last || take(buffer.data(), start, *last);
    }

    QList<bool> held() const { return m_held; }

private:
    void hold(qsizetype n)
    {
        m_held[n] = true;
        QList<qsizetype> &wanted = m_wanted[m_chunks[n].sha256];
        wanted.removeOne(n);
        if (wanted.isEmpty())
            m_wanted.remove(m_chunks[n].sha256);
    }

    // The chunk of a source from `start` to `end`, its bytes at `data`.
    bool take(const char *data, qint64 start, qint64 end)
    {
        const auto wanted = m_wanted.constFind(sha256(data, end - start));
        if (wanted == m_wanted.cend())
            return true;
        // One chunk of the old version may stand for several of the new one.
        const QList<qsizetype> places = wanted.value();
        for (const qsizetype n : places) {
            if (m_chunks[n].length != end - start || !m_work.seek(m_chunks[n].offset) ||
                m_work.write(data, end - start) != end - start)
                return false;
            hold(n);
        }
        return true;
    }

    QFile &m_work;
    const QList<ChunkIndex::Chunk> &m_chunks;
    QList<bool> m_held;
    QHash<QByteArray, QList<qsizetype>> m_wanted;
    const std::atomic_bool &m_stop;
};

} // namespace

std::optional<QList<bool>> LocalChunks::gather(const QString &work, qint64 size,
                                               const QList<ChunkIndex::Chunk> &chunks,
                                               const QStringList &sources,
                                               const std::atomic_bool &stop)
{
    // Never through a link: the file being built lies in the staging folder,
    // and a link there must not make the run write elsewhere.
    if (QFileInfo(work).isSymLink() && !QFile::remove(work))
        return std::nullopt;
    QFile file(work);
    const bool resumed = SystemFiles::isRegularFile(work) && file.size() == size;
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered) ||
        (!resumed && !(file.resize(0) && file.resize(size))))
        return std::nullopt;
    Gatherer gatherer(file, chunks, stop);
    if (resumed && !gatherer.checkInPlace())
        return std::nullopt;
    for (const QString &source : sources)
        if (!gatherer.takeFrom(source))
            return std::nullopt;
    if (stop)
        return std::nullopt;
    return gatherer.held();
}
