#pragma once

#include "download/DownloaderError.h"
#include "download/ReadExpectation.h"
#include "download/TransferEvents.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class TransferEngine;

// How one read ended. A read is stored only when the whole announced body
// arrived with a 2xx status and replaced its target file.
struct ReadOutcome {
    bool stored = false;
    qint64 received = 0;
    // False for a body sent without a length (chunked or closed-delimited).
    bool lengthKnown = false;
    // Why a read that was not stored failed.
    ReadFailure failure = ReadFailure::None;
};

// The asynchronous reads behind a Downloader: one HTTP(S) GET per tag, run by
// a TransferEngine on a thread of its own, streamed into a temporary file
// beside the tag's path, written through to the disk (unless its reader
// flushes it later, see ReadExpectation::flushedLater) and only then put in
// the tag's place, on the thread that owns the facility. Notifications arrive
// through that thread's event loop.
class ReadFacility : public QObject
{
    Q_OBJECT
public:
    explicit ReadFacility(QObject *parent = nullptr);
    ~ReadFacility() override;

    // Returns at once: either the reason the read cannot start, or nothing
    // and the read is under way.
    std::optional<DownloaderError> start(const QString &url, const QString &tag,
                                         const ReadExpectation &expected = {});

    int count() const { return static_cast<int>(m_tags.size()); }
    bool has(const QString &tag) const { return m_tags.contains(tag); }

    // Forgets every read: no notification follows, their temporary files go
    // away and the targets stay as they were.
    void dropAll();

    // How long a read may receive less than 1 KiB/s on average before it
    // fails (normally 60 s, counted in whole seconds); tests shorten it so
    // that stalls are seen quickly. Applies to reads started afterwards.
    static void setTransferTimeoutForTesting(std::chrono::milliseconds timeout);

    // How long a second of waiting between two tries of a read lasts
    // (normally 1 s), so that tests need not wait 1 + 2 + 4 s.
    static void setRetrySecondForTesting(std::chrono::milliseconds second);

    // Certificates that reads started afterwards trust instead of the
    // system's; an empty path restores the system's.
    static void setCaFileForTesting(const QString &path);

    // What writes a batch of temporary files through to the disk (normally
    // flushToDisk); tests put a flush they can hold in its place. An empty
    // function restores flushToDisk.
    static void setDiskFlushForTesting(std::function<bool(const std::vector<qintptr> &)> flush);

signals:
    // `total` is 0 while the length of the body is unknown.
    void progress(const QString &tag, qint64 received, qint64 total);
    // Raised once per started read, after it has left the facility.
    void finished(const QString &tag, const ReadOutcome &outcome);

private:
    void takeEvents();
    void finish(quint64 id, const ReadOutcome &outcome);

    std::unique_ptr<TransferEvents> m_events;
    std::unique_ptr<TransferEngine> m_engine;
    quint64 m_lastId = 0;
    // The reads in flight, both ways: an event names its read by id, so that
    // an event of a dropped read never reaches a later read into the same file.
    QHash<QString, quint64> m_tags;
    QHash<quint64, QString> m_ids;
};
