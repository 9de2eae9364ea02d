#include "download/ReadFacility.h"

#include "download/Address.h"
#include "download/BatchFlusher.h"
#include "download/TransferEngine.h"
#include "download/TransferEvents.h"
#include "log/UpdaterLog.h"

#include <QFile>
#include <QPointer>

namespace
{

TransferSettings &settings()
{
    static TransferSettings defaults;
    return defaults;
}

} // namespace

ReadFacility::ReadFacility(QObject *parent)
    : QObject(parent), m_events(std::make_unique<TransferEvents>([this] {
          QMetaObject::invokeMethod(this, &ReadFacility::takeEvents, Qt::QueuedConnection);
      })),
      m_engine(std::make_unique<TransferEngine>(*m_events))
{
}

ReadFacility::~ReadFacility()
{
    // Stops the threads first: no event can be posted to a facility that is gone.
    m_engine.reset();
}

void ReadFacility::setTransferTimeoutForTesting(std::chrono::milliseconds timeout)
{
    settings().stallTime = timeout;
}

void ReadFacility::setRetrySecondForTesting(std::chrono::milliseconds second)
{
    settings().retrySecond = second;
}

void ReadFacility::setCaFileForTesting(const QString &path)
{
    settings().caFile = QFile::encodeName(path);
}

void ReadFacility::setDiskFlushForTesting(std::function<bool(const std::vector<qintptr> &)> flush)
{
    BatchFlusher::setDiskFlushForTesting(std::move(flush));
}

std::optional<DownloaderError> ReadFacility::start(const QString &url, const QString &tag,
                                                   const ReadExpectation &expected)
{
    if (const auto refusal = addressRefusal(url))
        return refusal;
    if (tag.isEmpty())
        return DownloaderError::EmptyTarget;
    // Two reads into one file would race for it; the first one keeps it.
    if (has(tag))
        return DownloaderError::TargetInFlight;

    const quint64 id = ++m_lastId;
    m_tags.insert(tag, id);
    m_ids.insert(id, tag);
    m_engine->start(id, parseAddress(url), tag, settings(), expected);
    return std::nullopt;
}

void ReadFacility::dropAll()
{
    m_tags.clear();
    m_ids.clear();
    m_engine->dropAll();
}

void ReadFacility::takeEvents()
{
    // A listener may drop reads or start new ones; each event looks its read up anew.
    const QPointer<ReadFacility> alive(this);
    for (TransferEvent &event : m_events->take()) {
        if (!alive)
            return;
        const auto found = m_ids.constFind(event.id);
        // A dropped read: its temporary file goes with the event.
        if (found == m_ids.constEnd())
            continue;
        switch (event.kind) {
        case TransferEvent::Progress:
            emit progress(*found, event.received, event.total);
            break;
        case TransferEvent::Failed:
            finish(event.id, {.failure = event.failure});
            break;
        case TransferEvent::Ready:
            // The rename happens here, on the owning thread, so that a read
            // dropped before this point never touches its target.
            if (const QString why = event.file->commit(); why.isEmpty()) {
                finish(event.id, ReadOutcome{true, event.received, event.total != 0});
            } else {
                qCInfo(lcDownload).noquote()
                    << "a received body could not replace" << *found << "-" << why;
                finish(event.id, {.failure = ReadFailure::Local});
            }
            break;
        }
    }
}

void ReadFacility::finish(quint64 id, const ReadOutcome &outcome)
{
    const QString tag = m_ids.take(id);
    m_tags.remove(tag);
    emit finished(tag, outcome);
}
