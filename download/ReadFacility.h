#pragma once

#include "download/DownloaderError.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class QSaveFile;

// How one read ended. A read is stored only when the whole announced body
// arrived with a 2xx status and replaced its target file.
struct ReadOutcome {
    bool stored = false;
    qint64 received = 0;
    // False for a body sent without a length (chunked or closed-delimited).
    bool lengthKnown = false;
};

// The asynchronous reads behind a Downloader: one HTTP(S) GET per tag,
// streamed into a temporary file beside the tag's path and committed over it
// only when the read has succeeded. The temporary file is written through to
// the disk on a worker thread before the commit, and a read stays in the
// facility until then. Notifications arrive through the event loop of the
// thread that owns the facility.
class ReadFacility : public QObject
{
    Q_OBJECT
public:
    explicit ReadFacility(QObject *parent = nullptr);
    ~ReadFacility() override;

    // Returns at once: either the reason the read cannot start, or nothing
    // and the read is under way.
    std::optional<DownloaderError> Start(const QString &url, const QString &tag);

    int Count() const { return static_cast<int>(m_reads.size()); }
    bool Has(const QString &tag) const { return m_reads.count(tag) != 0; }

    // Forgets every read: no notification follows, temporary files go away
    // and the targets stay as they were.
    void DropAll();

    // How long a read may receive nothing before it fails (normally 60 s);
    // tests shorten it so that stalls are seen quickly.
    static void SetTransferTimeoutForTesting(std::chrono::milliseconds timeout);

    // What writes a temporary file through to the disk on a worker thread
    // (normally FlushToDisk); tests put a flush they can hold in its place.
    // An empty function restores FlushToDisk.
    static void SetDiskFlushForTesting(std::function<bool(qintptr)> flush);

signals:
    // `total` is 0 while the length of the body is unknown.
    void Progress(const QString &tag, qint64 received, qint64 total);
    // Raised once per started read, after it has left the facility.
    void Finished(const QString &tag, const ReadOutcome &outcome);

private:
    struct Read;

    void launch(const QString &tag, Read &read);
    void releaseConnection(const QString &host);
    void drain(const QString &tag);
    void settle(const QString &tag);
    bool store(const QString &tag, Read &read);
    bool arrivedWhole(const QString &tag, Read &read);
    bool flush(Read &read);
    void complete(const QString &tag);
    void finish(const QString &tag, const ReadOutcome &outcome);
    void discard(Read &read);

    QNetworkAccessManager *m_network;
    std::map<QString, std::unique_ptr<Read>> m_reads;
    // Per host: reads handed to the network, and reads waiting their turn.
    QHash<QString, int> m_launched;
    QHash<QString, std::deque<QString>> m_waiting;
    // Writes the temporary files through to the disk.
    QThreadPool m_flushers;
};
