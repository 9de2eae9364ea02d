#include "download/ReadFacility.h"

#include "download/Address.h"
#include "download/DiskFlush.h"

#include <QFutureWatcher>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QUrl>
#include <QtConcurrent/QtConcurrentRun>

namespace
{

// QNetworkAccessManager opens at most six connections to one host and
// queues the rest of the requests, with their transfer time-out already
// running: a read waiting there for a connection would fail as a stalled
// read. Reads beyond the six wait in the facility instead.
constexpr int connectionsPerHost = 6;

// What the network may read ahead of the file; beyond it the server waits.
constexpr qint64 readBufferSize = 1024 * 1024;

// Once this much of a body has been written since the last flush of its file
// started, another flush starts while the rest arrives, so that little is left
// to write through to the disk when the body is complete.
constexpr qint64 flushInterval = 32 * 1024 * 1024;

// Flushes wait on the disk rather than the processor, and the disk merges
// flushes that come together, so more of them run than there are processors.
constexpr int flushThreads = 16;

std::chrono::milliseconds &transferTimeout()
{
    static std::chrono::milliseconds timeout = std::chrono::seconds(60);
    return timeout;
}

std::function<bool(qintptr)> &diskFlush()
{
    static std::function<bool(qintptr)> flush = FlushToDisk;
    return flush;
}

// Asks the system for the proxy of every request of this facility alone,
// leaving the process-wide proxy settings as they are.
class SystemProxyFactory : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override
    {
        return systemProxyForQuery(query);
    }
};

QNetworkRequest forcedRequest(const QUrl &address)
{
    QNetworkRequest request(address);
    // Force update: whatever lies in a cache on the way, fetch it anew.
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setRawHeader("Cache-Control", "no-cache");
    request.setRawHeader("Pragma", "no-cache");
    // The bytes are stored exactly as the server holds them, and a length
    // announced by the server is the length of what we store.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setTransferTimeout(static_cast<int>(transferTimeout().count()));
    return request;
}

QString hostOf(const QUrl &address)
{
    return address.scheme() + QLatin1String("://") + address.host() + QLatin1Char(':') +
           QString::number(address.port(address.scheme() == QLatin1String("https") ? 443 : 80));
}

} // namespace

struct ReadFacility::Read {
    QUrl address;
    QString host;
    // Null while the read waits for a connection to its host.
    QNetworkReply *reply = nullptr;
    // Opened when the first bytes arrive, so that queued reads hold no file.
    std::unique_ptr<QSaveFile> file;
    qint64 received = 0;
    // Written since the last flush of the file started.
    qint64 unflushed = 0;
    bool storeFailed = false;
    // The flushes of the file handed to a worker, the last one chained behind
    // the others; the file must stay open until they are done.
    QFuture<void> flushing;
    // Set once the whole body is in the file: its last flush is then awaited
    // before the commit. Owned by the facility, deleted after it has signalled.
    QFutureWatcher<void> *closing = nullptr;
};

ReadFacility::ReadFacility(QObject *parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this))
{
    m_network->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    m_network->setProxyFactory(new SystemProxyFactory);
    m_flushers.setMaxThreadCount(flushThreads);
}

ReadFacility::~ReadFacility()
{
    DropAll();
}

void ReadFacility::SetTransferTimeoutForTesting(std::chrono::milliseconds timeout)
{
    transferTimeout() = timeout;
}

void ReadFacility::SetDiskFlushForTesting(std::function<bool(qintptr)> flush)
{
    diskFlush() = flush ? std::move(flush) : FlushToDisk;
}

std::optional<DownloaderError> ReadFacility::Start(const QString &url, const QString &tag)
{
    if (const auto refusal = AddressRefusal(url))
        return refusal;
    if (tag.isEmpty())
        return DownloaderError::EmptyTarget;
    // Two reads into one file would race for it; the first one keeps it.
    if (Has(tag))
        return DownloaderError::TargetInFlight;

    auto read = std::make_unique<Read>();
    read->address = ParseAddress(url);
    read->host = hostOf(read->address);
    Read &added = *m_reads.emplace(tag, std::move(read)).first->second;
    if (m_launched.value(added.host) < connectionsPerHost)
        launch(tag, added);
    else
        m_waiting[added.host].push_back(tag);
    return std::nullopt;
}

void ReadFacility::launch(const QString &tag, Read &read)
{
    ++m_launched[read.host];
    read.reply = m_network->get(forcedRequest(read.address));
    QNetworkReply *reply = read.reply;
    reply->setReadBufferSize(readBufferSize);
    connect(reply, &QNetworkReply::readyRead, this, [this, tag] { drain(tag); });
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this, tag, reply](qint64 received, qint64 total) {
                // Without an announced length the total is a guess; report none.
                const bool announced =
                    reply->header(QNetworkRequest::ContentLengthHeader).isValid();
                emit Progress(tag, received, announced && total > 0 ? total : 0);
            });
    connect(reply, &QNetworkReply::finished, this, [this, tag] { settle(tag); });
}

void ReadFacility::releaseConnection(const QString &host)
{
    --m_launched[host];
    const auto waiting = m_waiting.find(host);
    if (waiting == m_waiting.end())
        return;
    const QString tag = waiting->front();
    waiting->pop_front();
    if (waiting->empty())
        m_waiting.erase(waiting);
    launch(tag, *m_reads.at(tag));
}

void ReadFacility::drain(const QString &tag)
{
    const auto found = m_reads.find(tag);
    if (found == m_reads.end())
        return;
    Read &read = *found->second;
    // Nothing more can be stored, so the rest of the body is not worth fetching.
    if (!store(tag, read)) {
        read.storeFailed = true;
        settle(tag);
    }
}

bool ReadFacility::store(const QString &tag, Read &read)
{
    if (!read.file) {
        read.file = std::make_unique<QSaveFile>(tag);
        if (!read.file->open(QIODevice::WriteOnly))
            return false;
    }
    const QByteArray chunk = read.reply->readAll();
    read.received += chunk.size();
    if (read.file->write(chunk) != chunk.size())
        return false;
    read.unflushed += chunk.size();
    if (read.unflushed >= flushInterval && read.flushing.isFinished())
        return flush(read);
    return true;
}

bool ReadFacility::flush(Read &read)
{
    // The worker sees only the descriptor, so what the file still buffers goes there first.
    if (!read.file->flush())
        return false;
    read.unflushed = 0;
    const qintptr handle = read.file->handle();
    // Only the descriptor crosses to the worker; writing the file stays on this
    // thread. A failed flush shows again in the commit, which flushes too.
    const auto work = [handle, flushToDisk = diskFlush()] { flushToDisk(handle); };
    read.flushing = read.flushing.isFinished() ? QtConcurrent::run(&m_flushers, work)
                                               : read.flushing.then(&m_flushers, work);
    return true;
}

void ReadFacility::settle(const QString &tag)
{
    const auto found = m_reads.find(tag);
    if (found == m_reads.end())
        return;
    Read &read = *found->second;
    read.reply->disconnect(this);
    // The next read may use the connection while this one is committed.
    releaseConnection(read.host);
    if (!arrivedWhole(tag, read) || !flush(read)) {
        finish(tag, {});
        return;
    }
    // The read stays in flight until its file is on the disk and committed;
    // meanwhile this thread serves the other reads.
    read.closing = new QFutureWatcher<void>(this);
    connect(read.closing, &QFutureWatcherBase::finished, this, [this, tag] { complete(tag); });
    read.closing->setFuture(read.flushing);
}

// Whether the whole body arrived with a 2xx status and is in the file.
bool ReadFacility::arrivedWhole(const QString &tag, Read &read)
{
    QNetworkReply &reply = *read.reply;
    if (read.storeFailed || reply.isRunning() || reply.error() != QNetworkReply::NoError)
        return false;
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status > 299)
        return false;
    // Also opens the file of an empty body, which never saw readyRead.
    if (!store(tag, read))
        return false;
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    // A connection that closed before the announced length gave a partial file.
    return !length.isValid() || length.toLongLong() == read.received;
}

void ReadFacility::complete(const QString &tag)
{
    Read &read = *m_reads.at(tag);
    const bool lengthKnown = read.reply->header(QNetworkRequest::ContentLengthHeader).isValid();
    // The bytes are on the disk already, so the commit's own flush is quick.
    finish(tag,
           read.file->commit() ? ReadOutcome{true, read.received, lengthKnown} : ReadOutcome{});
}

void ReadFacility::finish(const QString &tag, const ReadOutcome &outcome)
{
    const std::unique_ptr<Read> read = std::move(m_reads.extract(tag).mapped());
    discard(*read);
    emit Finished(tag, outcome);
}

void ReadFacility::discard(Read &read)
{
    if (read.closing) {
        // It may be raising the signal that led here, so it goes later.
        read.closing->disconnect(this);
        read.closing->deleteLater();
    }
    // The worker must be done with the descriptor before the file closes it.
    read.flushing.waitForFinished();
    // An uncommitted QSaveFile removes its temporary file as it goes.
    read.file.reset();
    if (!read.reply)
        return;
    if (read.reply->isRunning())
        read.reply->abort();
    read.reply->deleteLater();
}

void ReadFacility::DropAll()
{
    m_waiting.clear();
    m_launched.clear();
    const auto reads = std::exchange(m_reads, {});
    for (const auto &[tag, read] : reads) {
        if (read->reply)
            read->reply->disconnect(this);
        discard(*read);
    }
}
