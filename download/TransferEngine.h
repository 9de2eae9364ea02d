#pragma once

#include "download/BatchFlusher.h"
#include "download/ReadExpectation.h"
#include "download/Transfer.h"
#include "download/TransferEvents.h"

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <chrono>
#include <curl/curl.h>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

// Runs every read on one thread, in one libcurl multi handle, and writes each
// body into its temporary file on that same thread as it arrives. The thread
// that starts reads only exchanges messages with it: starts and drops go in
// through a locked queue, events come out through TransferEvents.
//
// A refused or reset connection, a time-out, and the statuses 408, 429, 500,
// 502, 503 and 504 are tried again up to 3 times, after 1, 2 and 4 s or what
// Retry-After asks for up to 30 s. A retry after part of a body continues it
// with Range and If-Range when the server offered that, and takes the rest
// only from a 206 that starts where the file ends, names the same validator
// and the same whole length; a body that cannot continue starts again from its
// first byte. A failed read's kept part is on the disk before it is reported. Whole bodies go to a
// BatchFlusher and come out as Ready.
class TransferEngine
{
public:
    explicit TransferEngine(TransferEvents &events);
    // Stops both threads; every temporary file goes away.
    ~TransferEngine();

    TransferEngine(const TransferEngine &) = delete;
    TransferEngine &operator=(const TransferEngine &) = delete;

    // `expected` holds the body to a size, a limit and a digest; one that
    // does not match fails at once, without another try.
    void start(quint64 id, const QUrl &address, const QString &target,
               const TransferSettings &settings, const ReadExpectation &expected);
    // Drops every read started before: no event follows for them.
    void dropAll();

private:
    struct Command;

    void run();
    void wake();
    void removeAll();
    void failAll(const char *why);
    void admitWaiting();
    bool leaveMulti(Transfer &transfer);
    bool takeCommands();
    void begin(Command &command);
    bool launch(Transfer &transfer);
    void settle(Transfer &transfer, CURLcode result);
    // Tries the read again after the wait RetryPolicy gives for `retryAfter`
    // seconds asked by the server (0: none), or fails it when no try is left;
    // `why` goes to the updater.download logging category when it fails, and
    // `failure` to the read's owner.
    void retryOrFail(Transfer &transfer, qint64 retryAfter, const QString &why,
                     ReadFailure failure);
    void fail(Transfer &transfer, const QString &why, ReadFailure failure);
    void remove(Transfer &transfer);
    std::chrono::milliseconds untilNextRetry() const;
    void launchDueRetries();

    TransferEvents &m_events;
    BatchFlusher m_flusher;
    CURLM *m_multi;
    std::mutex m_mutex;
    std::deque<Command> m_commands;
    bool m_stopping = false;
    // Touched by the transfer thread alone.
    std::map<quint64, std::unique_ptr<Transfer>> m_transfers;
    // Reads waiting to be tried again, soonest first, so that the loop finds
    // the next one without looking at every read.
    std::multimap<std::chrono::steady_clock::time_point, quint64> m_retries;
    // Per host: reads waiting their turn to go to libcurl, and how many are there.
    std::map<QString, std::deque<quint64>> m_waiting;
    std::map<QString, int> m_admitted;
    // Reads whose reader flushes their bodies itself (ReadExpectation::flushedLater).
    std::set<quint64> m_flushedLater;
    std::thread m_thread;
};
