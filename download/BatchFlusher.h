#pragma once

#include "download/TransferEvents.h"

#include <condition_variable>
#include <deque>
#include <set>
#include <thread>

// Writes whole bodies through to the disk on a thread of its own and hands
// each on as Ready, closed, for its commit. Bodies that complete while a flush
// runs wait for it and then go to the disk together in the next one, so many
// small files cost a few flushes instead of one each.
class BatchFlusher
{
public:
    explicit BatchFlusher(TransferEvents &events);
    // Waits for a flush under way; bodies still waiting are removed.
    ~BatchFlusher();

    // With `flush` false the body goes on in its batch's turn without being
    // written through (its reader flushes it later); a batch of such bodies
    // alone costs no flush at all.
    void add(quint64 id, qint64 received, qint64 total, std::unique_ptr<TempFile> file,
             bool flush = true);

    // What writes a batch through to the disk (normally flushToDisk); tests put
    // a flush they can hold in its place. An empty function restores flushToDisk.
    static void setDiskFlushForTesting(std::function<bool(const std::vector<qintptr> &)> flush);

private:
    void run();

    TransferEvents &m_events;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<TransferEvent> m_waiting;
    // The ids among m_waiting whose bodies need no flush.
    std::set<quint64> m_unflushed;
    bool m_stopping = false;
    std::thread m_thread;
};
