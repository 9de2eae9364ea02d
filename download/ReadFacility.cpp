#include "download/ReadFacility.h"

#include "download/Address.h"
#include "download/BatchFlusher.h"
#include "download/DownloadLog.h"
#include "download/TransferEngine.h"
#include "download/TransferEvents.h"

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

void ReadFacility::SetTransferTimeoutForTesting(std::chrono::milliseconds timeout)
{
    settings().stallTime = timeout;
}

void ReadFacility::SetRetrySecondForTesting(std::chrono::milliseconds second)
{
    settings().retrySecond = second;
}

void ReadFacility::SetCaFileForTesting(const QString &path)
{
    settings().caFile = QFile::encodeName(path);
}

void ReadFacility::SetDiskFlushForTesting(std::function<bool(const std::vector<qintptr> &)> flush)
{
    BatchFlusher::SetDiskFlushForTesting(std::move(flush));
}

std::optional<DownloaderError> ReadFacility::Start(const QString &url, const QString &tag,
                                                   const ReadExpectation &expected)
{
    if (const auto refusal = AddressRefusal(url))
        return refusal;
    if (tag.isEmpty())
        return DownloaderError::EmptyTarget;
    // Two reads into one file would race for it; the first one keeps it.
    if (Has(tag))
        return DownloaderError::TargetInFlight;

    const quint64 id = ++m_lastId;
    m_tags.insert(tag, id);
    m_ids.insert(id, tag);
    m_engine->Start(id, ParseAddress(url), tag, settings(), expected);
    return std::nullopt;
}

void ReadFacility::DropAll()
{
    m_tags.clear();
    m_ids.clear();
    m_engine->DropAll();
}

void ReadFacility::takeEvents()
{
    // A listener may drop reads or start new ones; each event looks its read up anew.
    const QPointer<ReadFacility> alive(this);
    for (TransferEvent &event : m_events->Take()) {
        if (!alive)
            return;
        const auto found = m_ids.constFind(event.id);
        // A dropped read: its temporary file goes with the event.
        if (found == m_ids.constEnd())
            continue;
        switch (event.kind) {
        case TransferEvent::Progress:
            emit Progress(*found, event.received, event.total);
            break;
        case TransferEvent::Failed:
            finish(event.id, {});
            break;
        case TransferEvent::Ready:
            // The rename happens here, on the owning thread, so that a read
            // dropped before this point never touches its target.
            if (event.file->Commit()) {
                finish(event.id, ReadOutcome{true, event.received, event.total != 0});
            } else {
                qCInfo(lcDownload) << "a received body could not replace" << *found;
                finish(event.id, {});
            }
            break;
        }
    }
}

void ReadFacility::finish(quint64 id, const ReadOutcome &outcome)
{
    const QString tag = m_ids.take(id);
    m_tags.remove(tag);
    emit Finished(tag, outcome);
}
