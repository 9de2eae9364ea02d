#include "download/ReadFacility.h"

#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QUrl>

namespace
{

// QNetworkAccessManager opens at most six connections to one host and
// queues the rest of the requests, with their transfer time-out already
// running: a read waiting there for a connection would fail as a stalled
// read. Reads beyond the six wait in the facility instead.
constexpr int connectionsPerHost = 6;

// What the network may read ahead of the file; beyond it the server waits.
constexpr qint64 readBufferSize = 1024 * 1024;

std::chrono::milliseconds &transferTimeout()
{
    static std::chrono::milliseconds timeout = std::chrono::seconds(60);
    return timeout;
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

std::optional<DownloaderError> refusalOf(const QString &url, const QString &tag)
{
    if (url.isEmpty())
        return DownloaderError::EmptyAddress;
    const QUrl address(url);
    if (!address.isValid())
        return DownloaderError::MalformedAddress;
    if (address.scheme().isEmpty())
        return DownloaderError::NoScheme;
    if (address.scheme() != QLatin1String("http") && address.scheme() != QLatin1String("https"))
        return DownloaderError::UnsupportedScheme;
    if (address.host().isEmpty())
        return DownloaderError::MalformedAddress;
    if (tag.isEmpty())
        return DownloaderError::EmptyTarget;
    return std::nullopt;
}

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
    bool storeFailed = false;
};

ReadFacility::ReadFacility(QObject *parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this))
{
    m_network->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    m_network->setProxyFactory(new SystemProxyFactory);
}

ReadFacility::~ReadFacility()
{
    DropAll();
}

void ReadFacility::SetTransferTimeoutForTesting(std::chrono::milliseconds timeout)
{
    transferTimeout() = timeout;
}

std::optional<DownloaderError> ReadFacility::Start(const QString &url, const QString &tag)
{
    if (const auto refusal = refusalOf(url, tag))
        return refusal;
    // Two reads into one file would race for it; the first one keeps it.
    if (Has(tag))
        return DownloaderError::TargetInFlight;

    auto read = std::make_unique<Read>();
    read->address = QUrl(url);
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
    return read.file->write(chunk) == chunk.size();
}

void ReadFacility::settle(const QString &tag)
{
    auto node = m_reads.extract(tag);
    if (node.empty())
        return;
    const std::unique_ptr<Read> read = std::move(node.mapped());
    read->reply->disconnect(this);
    // The next read may use the connection while this one is committed.
    releaseConnection(read->host);
    const ReadOutcome outcome = conclude(tag, *read);
    discard(*read);
    emit Finished(tag, outcome);
}

ReadOutcome ReadFacility::conclude(const QString &tag, Read &read)
{
    QNetworkReply &reply = *read.reply;
    if (read.storeFailed || reply.isRunning() || reply.error() != QNetworkReply::NoError)
        return {};
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status > 299)
        return {};
    // Also opens the file of an empty body, which never saw readyRead.
    if (!store(tag, read))
        return {};
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    // A connection that closed before the announced length gave a partial file.
    if (length.isValid() && length.toLongLong() != read.received)
        return {};
    if (!read.file->commit())
        return {};
    return {true, read.received, length.isValid()};
}

void ReadFacility::discard(Read &read)
{
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
