#pragma once

#include "download/TempFile.h"

#include <QtGlobal>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// Why a read failed, as far as its reader must tell the causes apart: a
// fault of this machine fails the same way whichever server is asked, while
// any other may go better with another server holding the same files.
enum class ReadFailure {
    None,
    Local,      // the body could not be written here, or the read not set up
    Connection, // refused, reset, timed out, too slow, cut short (after its tries)
    Status,     // an HTTP error status other than 404 (after its tries)
    NotFound,   // 404
    Body,       // a body other than the one expected: size, SHA-256, limit, empty
};

// What the transfer threads tell the thread that owns the reads.
struct TransferEvent {
    enum Kind { Progress, Failed, Ready } kind;
    quint64 id = 0;
    qint64 received = 0;
    // 0 while the length of the body is unknown.
    qint64 total = 0;
    // Ready: the whole body, on the disk and closed, waiting to replace its target.
    std::unique_ptr<TempFile> file;
    // Failed: why.
    ReadFailure failure = ReadFailure::None;
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
