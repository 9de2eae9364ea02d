#pragma once

#include "download/TempFile.h"

#include <QtGlobal>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// What the transfer threads tell the thread that owns the reads.
struct TransferEvent {
    enum Kind { Progress, Failed, Ready } kind;
    quint64 id = 0;
    qint64 received = 0;
    // 0 while the length of the body is unknown.
    qint64 total = 0;
    // Ready: the whole body, on the disk and closed, waiting to replace its target.
    std::unique_ptr<TempFile> file;
};

// Events gathered from any thread and handed over in batches: the owner is
// woken once for all that arrive until it takes them, not once per event.
class TransferEvents
{
public:
    // `wake` runs on the posting thread whenever the first event of a batch arrives.
    explicit TransferEvents(std::function<void()> wake) : m_wake(std::move(wake)) {}

    void post(TransferEvent event)
    {
        bool first = false;
        {
            const std::lock_guard lock(m_mutex);
            first = m_events.empty();
            m_events.push_back(std::move(event));
        }
        if (first)
            m_wake();
    }

    std::vector<TransferEvent> take()
    {
        const std::lock_guard lock(m_mutex);
        return std::exchange(m_events, {});
    }

private:
    std::function<void()> m_wake;
    std::mutex m_mutex;
    std::vector<TransferEvent> m_events;
};
