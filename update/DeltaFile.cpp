#include "update/DeltaFile.h"

#include "download/Address.h"
#include "download/Downloader.h"
#include "log/UpdaterLog.h"
#include "system/DiskFlush.h"
#include "update/FileDigest.h"
#include "update/LocalChunks.h"

#include <QCryptographicHash>
#include <QFile>
#include <QtConcurrent/QtConcurrentRun>

namespace
{

QString indexPath(const QString &staged)
{
    return staged + QStringLiteral(".chunks");
}

QString workPath(const QString &staged)
{
    return staged + QStringLiteral(".delta");
}

QString spanPath(const QString &staged, qint64 first)
{
    return staged + QStringLiteral(".span") + QString::number(first);
}

// The bytes of a file of at most `limit` bytes; nullopt when it cannot be
// read whole or is longer.
std::optional<QByteArray> readSmall(const QString &path, qint64 limit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > limit)
        return std::nullopt;
    QByteArray bytes = file.read(limit + 1);
    if (bytes.size() != file.size())
        return std::nullopt;
    return bytes;
}

} // namespace

DeltaFile::DeltaFile(Downloader &downloader, Source source, QSet<QString> &wholeOnly,
                     QObject *parent)
    : QObject(parent), m_downloader(downloader), m_source(std::move(source)), m_wholeOnly(wholeOnly)
{
    connect(&m_downloader, &Downloader::DownloadProgress, this, &DeltaFile::readProgress);
    connect(&m_downloader, &Downloader::DownloadError, this, &DeltaFile::readFailed);
    connect(&m_downloader, &Downloader::DownloadComplete, this, &DeltaFile::readSettled);
    connect(&m_gathering, &QFutureWatcherBase::finished, this, &DeltaFile::gathered);
    connect(&m_verifying, &QFutureWatcherBase::finished, this, &DeltaFile::verified);
}

DeltaFile::~DeltaFile()
{
    *m_stop = true;
    m_gathering.waitForFinished();
    m_verifying.waitForFinished();
}

QStringList DeltaFile::keptFiles(const QString &staged)
{
    return {indexPath(staged), workPath(staged)};
}

bool DeltaFile::owns(const QString &target) const
{
    return m_reads.contains(target);
}

void DeltaFile::start()
{
    // An index an earlier run fetched is used again when it is still the one
    // the list pins.
    const QString index = indexPath(m_source.staged);
    const std::optional<QByteArray> kept = readSmall(index, ChunkIndex::sizeLimit(m_source.size));
    if (kept &&
        QCryptographicHash::hash(*kept, QCryptographicHash::Sha256) == m_source.chunksSha256)
        return indexArrived();
    m_reads.insert(index, {});
    m_downloader.BeginDownload(m_source.chunksUrl, index,
                               {.sha256 = m_source.chunksSha256,
                                .limit = ChunkIndex::sizeLimit(m_source.size),
                                .elsewhere = true});
    if (!m_downloader.isInFlight(index)) {
        m_reads.remove(index);
        end(Outcome::Whole);
    }
}

// The index read has settled into its place: pinned by the list, so any
// mirror may have served it, but every byte is checked again here, since the
// file lies in the player's folder between runs.
void DeltaFile::indexArrived()
{
    const QString index = indexPath(m_source.staged);
    const std::optional<QByteArray> bytes = readSmall(index, ChunkIndex::sizeLimit(m_source.size));
    std::optional<QList<ChunkIndex::Chunk>> chunks;
    if (bytes &&
        QCryptographicHash::hash(*bytes, QCryptographicHash::Sha256) == m_source.chunksSha256)
        chunks = ChunkIndex::parse(*bytes, m_source.size);
    if (!chunks) {
        qCInfo(lcRun) << m_source.staged << "delta: the chunk index is not the one pinned";
        QFile::remove(index);
        return end(Outcome::Whole);
    }
    m_chunks = *chunks;
    m_gathering.setFuture(
        QtConcurrent::run([work = workPath(m_source.staged), size = m_source.size,
                           chunks = m_chunks, copies = m_source.copies, stop = m_stop] {
            return LocalChunks::gather(work, size, chunks, copies, *stop);
        }));
}

void DeltaFile::gathered()
{
    if (*m_stop)
        return;
    const std::optional<QList<bool>> held = m_gathering.result();
    if (!held) {
        qCInfo(lcRun) << m_source.staged << "delta: the work file cannot be built";
        return end(Outcome::Whole);
    }
    // Missing chunks side by side travel in one request.
    for (qsizetype n = 0; n < m_chunks.size(); ++n) {
        if (held->at(n))
            continue;
        const ChunkIndex::Chunk &chunk = m_chunks[n];
        if (m_waiting.isEmpty() ||
            m_waiting.last().first + m_waiting.last().length != chunk.offset ||
            m_waiting.last().length + chunk.length > LongestSpan)
            m_waiting.append({chunk.offset, 0, {}});
        m_waiting.last().length += chunk.length;
        m_waiting.last().chunks.append(n);
        m_toFetch += chunk.length;
    }
    qCInfo(lcRun) << m_source.staged << "delta:" << m_toFetch << "of" << m_source.size
                  << "bytes to fetch in" << m_waiting.size() << "requests";
    emit progress(0, m_toFetch);
    if (m_waiting.isEmpty()) {
        m_verifying.setFuture(QtConcurrent::run(fileMatches, workPath(m_source.staged),
                                                m_source.size, m_source.sha256));
        return;
    }
    if (m_wholeOnly.contains(serverOf(parseAddress(m_source.url))))
        return end(Outcome::Whole);
    // The first span goes alone: a server that ignores Range answers it with
    // the whole file, and must not be asked for that once per span.
    m_probing = true;
    startSpan(m_waiting.takeFirst());
}

void DeltaFile::startSpan(const Span &span)
{
    ReadExpectation expected{.size = m_source.size,
                             .sha256 = m_source.sha256,
                             .flushedLater = true,
                             .elsewhere = true,
                             .span = ReadExpectation::Span{span.first, span.length, m_source.size}};
    for (const qsizetype n : span.chunks)
        expected.pieces.append({m_chunks[n].length, m_chunks[n].sha256});
    const QString target = spanPath(m_source.staged, span.first);
    m_reads.insert(target, span);
    m_downloader.BeginDownload(m_source.url, target, expected);
    if (!m_downloader.isInFlight(target)) {
        m_reads.remove(target);
        end(Outcome::Whole);
    }
}

void DeltaFile::readProgress(qint64 current, qint64 total, const QString &target)
{
    const auto read = m_reads.constFind(target);
    if (m_ended || read == m_reads.cend() || read->length == 0)
        return;
    // The whole body instead of the span: that is what travels now.
    if (total > read->length)
        m_toFetch = total;
    m_readBytes[target] = current;
    qint64 fetched = m_fetched;
    for (const qint64 bytes : std::as_const(m_readBytes))
        fetched += bytes;
    emit progress(std::min(fetched, m_toFetch), m_toFetch);
}

void DeltaFile::readFailed(const QString &target)
{
    if (m_reads.contains(target))
        m_failedReads.insert(target);
}

void DeltaFile::readSettled(qint64, const QString &target)
{
    const auto read = m_reads.constFind(target);
    if (read == m_reads.cend())
        return;
    const Span span = read.value();
    m_reads.erase(read);
    m_readBytes.remove(target);
    const bool failed = m_failedReads.remove(target);
    if (m_ended || failed) {
        if (failed)
            qCInfo(lcRun) << m_source.staged << "delta: a read failed:" << target;
        if (span.length > 0)
            QFile::remove(target);
        return end(Outcome::Whole);
    }
    if (span.length == 0)
        return indexArrived();
    spanArrived(target, span);
}

void DeltaFile::spanArrived(const QString &target, const Span &span)
{
    QFile arrived(target);
    const qint64 size = arrived.size();
    if (size == m_source.size && span.length != m_source.size) {
        // The server sent the whole file, checked against the list's size
        // and SHA-256 as any whole read: it is the staged file.
        qCInfo(lcRun) << serverOf(parseAddress(m_source.url))
                      << "ignores Range: whole files from it";
        m_wholeOnly.insert(serverOf(parseAddress(m_source.url)));
        return end(replaceFile(target, m_source.staged) ? Outcome::Staged : Outcome::Whole);
    }
    QFile work(workPath(m_source.staged));
    // Closed before anything reads the work file again on another thread.
    const bool placed = size == span.length && arrived.open(QIODevice::ReadOnly) &&
                        work.open(QIODevice::ReadWrite) && work.seek(span.first) &&
                        work.write(arrived.readAll()) == span.length && work.flush();
    work.close();
    arrived.close();
    QFile::remove(target);
    if (!placed)
        return end(Outcome::Whole);
    m_fetched += span.length;
    emit progress(m_fetched, m_toFetch);
    if (std::exchange(m_probing, false))
        for (const Span &next : std::exchange(m_waiting, {}))
            startSpan(next);
    if (m_reads.isEmpty() && !m_ended)
        m_verifying.setFuture(QtConcurrent::run(fileMatches, workPath(m_source.staged),
                                                m_source.size, m_source.sha256));
}

void DeltaFile::verified()
{
    if (*m_stop || m_ended)
        return;
    const QString work = workPath(m_source.staged);
    if (m_verifying.result() && replaceFile(work, m_source.staged))
        return end(Outcome::Staged);
    qCInfo(lcRun) << m_source.staged << "delta: the built file is not the one listed";
    QFile::remove(work);
    end(Outcome::Whole);
}

void DeltaFile::end(Outcome outcome)
{
    if (std::exchange(m_ended, true))
        return;
    emit finished(outcome);
}
