#include "download/BatchFlusher.h"

#include "system/DiskFlush.h"

namespace
{

std::mutex flushMutex;
std::function<bool(const std::vector<qintptr> &)> flushHook;

std::function<bool(const std::vector<qintptr> &)> diskFlush()
{
    const std::lock_guard lock(flushMutex);
    return flushHook ? flushHook : flushToDisk;
}

} // namespace

BatchFlusher::BatchFlusher(TransferEvents &events) : m_events(events)
{
    m_thread = std::thread([this] { run(); });
}

BatchFlusher::~BatchFlusher()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void BatchFlusher::setDiskFlushForTesting(std::function<bool(const std::vector<qintptr> &)> flush)
{
    const std::lock_guard lock(flushMutex);
    flushHook = std::move(flush);
}

void BatchFlusher::add(quint64 id, qint64 received, qint64 total, std::unique_ptr<TempFile> file,
                       bool flush)
{
    {
        const std::lock_guard lock(m_mutex);
        if (!flush)
            m_unflushed.insert(id);
        m_waiting.push_back({TransferEvent::Ready, id, received, total, std::move(file)});
    }
    m_wake.notify_one();
}

void BatchFlusher::run()
{
    for (;;) {
        std::deque<TransferEvent> batch;
        std::set<quint64> unflushed;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_waiting.empty(); });
            if (m_stopping)
                return;
            batch = std::exchange(m_waiting, {});
            unflushed = std::exchange(m_unflushed, {});
        }
        std::vector<qintptr> handles;
        for (const TransferEvent &ready : batch)
            if (!unflushed.contains(ready.id))
                handles.push_back(ready.file->handle());
        const bool flushed = handles.empty() || diskFlush()(handles);
        for (TransferEvent &ready : batch) {
            ready.file->close();
            if (!flushed) {
                // A body that may not be on the disk never replaces a file.
                ready.kind = TransferEvent::Failed;
                ready.failure = ReadFailure::Local;
                ready.file.reset();
            }
            m_events.post(std::move(ready));
        }
    }
}
