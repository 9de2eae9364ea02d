#include "download/TransferEngine.h"

#include "download/CurlOptions.h"
#include "download/RetryPolicy.h"
#include "download/Transfer.h"
#include "log/UpdaterLog.h"

#include <algorithm>
#include <optional>

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace
{

// At most this many connections to one host; the reads beyond them wait in
// libcurl without connecting, and so without their stall timer running.
constexpr long connectionsPerHost = 6;
// Reads handed to libcurl per host at once: more than its connections, so that
// HTTP/2 can multiplex and a freed connection is taken at once, but not all of
// them, because libcurl looks at every read it holds on each turn of the loop.
// The rest wait here, without any timer running either.
constexpr int admittedPerHost = 32;
// Why a read of a body that failed its size or SHA-256 check failed, as logged.
constexpr const char *notExpected = "the body is not the one expected (size or SHA-256)";

ReadFailure statusFailure(long status)
{
    return status == 404 ? ReadFailure::NotFound : ReadFailure::Status;
}

} // namespace

struct TransferEngine::Command {
    enum Kind { Start, DropAll } kind;
    quint64 id = 0;
    QUrl address;
    QString target;
    TransferSettings settings;
    ReadExpectation expected;
};

TransferEngine::TransferEngine(TransferEvents &events)
    : m_events(events), m_flusher(events), m_multi(prepareCurl() ? curl_multi_init() : nullptr)
{
    // Without its limits the multi handle is not used: every read then fails.
    if (m_multi &&
        (curl_multi_setopt(m_multi, CURLMOPT_MAX_HOST_CONNECTIONS, connectionsPerHost) !=
             CURLM_OK ||
         curl_multi_setopt(m_multi, CURLMOPT_PIPELINING, long(CURLPIPE_MULTIPLEX)) != CURLM_OK)) {
        curl_multi_cleanup(m_multi);
        m_multi = nullptr;
    }
    m_thread = std::thread([this] { run(); });
}

TransferEngine::~TransferEngine()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    wake();
    m_thread.join();
    if (m_multi)
        curl_multi_cleanup(m_multi);
}

void TransferEngine::start(quint64 id, const QUrl &address, const QString &target,
                           const TransferSettings &settings, const ReadExpectation &expected)
{
    {
        const std::lock_guard lock(m_mutex);
        m_commands.push_back({Command::Start, id, address, target, settings, expected});
    }
    wake();
}

void TransferEngine::dropAll()
{
    {
        const std::lock_guard lock(m_mutex);
        m_commands.push_back({Command::DropAll, 0, {}, {}, {}, {}});
    }
    wake();
}

void TransferEngine::wake()
{
    // Should the wake-up fail, the thread still looks at its commands within a second.
    if (m_multi && curl_multi_wakeup(m_multi) != CURLM_OK)
        return;
}

void TransferEngine::run()
{
    while (takeCommands()) {
        launchDueRetries();
        int running = 0;
        if (m_multi && curl_multi_perform(m_multi, &running) != CURLM_OK)
            failAll("curl_multi_perform failed");
        int queued = 0;
        while (CURLMsg *message = m_multi ? curl_multi_info_read(m_multi, &queued) : nullptr) {
            Transfer *transfer = nullptr;
            if (message->msg == CURLMSG_DONE &&
                curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer) == CURLE_OK &&
                transfer)
                settle(*transfer, message->data.result);
        }
        admitWaiting();
        // Woken early by libcurl's own timers, by a socket or by a command.
        const int wait = int(std::min(untilNextRetry(), milliseconds(1000)).count());
        if (m_multi && curl_multi_poll(m_multi, nullptr, 0, wait, nullptr) != CURLM_OK)
            failAll("curl_multi_poll failed");
    }
    removeAll();
}

void TransferEngine::removeAll()
{
    m_waiting.clear();
    m_retries.clear();
    while (!m_transfers.empty())
        remove(*m_transfers.begin()->second);
}

void TransferEngine::failAll(const char *why)
{
    // The multi handle itself is broken: no read can go on.
    m_waiting.clear();
    m_retries.clear();
    while (!m_transfers.empty())
        fail(*m_transfers.begin()->second, QString::fromLatin1(why), ReadFailure::Local);
}

void TransferEngine::admitWaiting()
{
    for (auto host = m_waiting.begin(); host != m_waiting.end();) {
        std::deque<quint64> &queue = host->second;
        int &admitted = m_admitted[host->first];
        while (!queue.empty() && admitted < admittedPerHost) {
            const auto found = m_transfers.find(queue.front());
            queue.pop_front();
            // A read dropped meanwhile has left only its entry here.
            if (found == m_transfers.end())
                continue;
            Transfer &t = *found->second;
            ++admitted;
            t.admitted = true;
            if (!launch(t))
                fail(t, QStringLiteral("the transfer could not be started"), ReadFailure::Local);
        }
        host = queue.empty() ? m_waiting.erase(host) : std::next(host);
    }
}

bool TransferEngine::leaveMulti(Transfer &t)
{
    const bool released = !t.running || curl_multi_remove_handle(m_multi, t.easy.get()) == CURLM_OK;
    t.running = false;
    if (t.admitted)
        --m_admitted[t.host];
    t.admitted = false;
    return released;
}

bool TransferEngine::takeCommands()
{
    std::deque<Command> commands;
    {
        const std::lock_guard lock(m_mutex);
        if (m_stopping)
            return false;
        commands = std::exchange(m_commands, {});
    }
    for (Command &command : commands) {
        if (command.kind == Command::DropAll)
            removeAll();
        else
            begin(command);
    }
    return true;
}

void TransferEngine::begin(Command &command)
{
    auto owned = std::make_unique<Transfer>(m_events, command.id, command.address, command.target,
                                            command.settings, command.expected);
    Transfer &t = *owned;
    m_transfers.emplace(t.id, std::move(owned));
    if (command.expected.flushedLater)
        m_flushedLater.insert(t.id);
    t.resumeKept(command.expected.size);
    if (!t.prepare())
        return fail(
            t, QStringLiteral("the transfer could not be prepared: ") + QString::fromUtf8(t.error),
            ReadFailure::Local);
    m_waiting[t.host].push_back(t.id);
}

bool TransferEngine::launch(Transfer &t)
{
    ++t.tries;
    if (!t.nextTry() || !m_multi || curl_multi_add_handle(m_multi, t.easy.get()) != CURLM_OK)
        return false;
    t.running = true;
    return true;
}

void TransferEngine::settle(Transfer &t, CURLcode result)
{
    long status = 0;
    if (!leaveMulti(t) ||
        curl_easy_getinfo(t.easy.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK)
        return fail(t, QStringLiteral("the transfer could not be ended"), ReadFailure::Local);
    curl_off_t retryAfter = 0;
    if (curl_easy_getinfo(t.easy.get(), CURLINFO_RETRY_AFTER, &retryAfter) != CURLE_OK)
        retryAfter = 0;
    const qint64 asked = RetryPolicy::honouredRetryAfter(retryAfter);

    // A body other than the one expected is no passing fault of the network.
    if (t.stop == Transfer::Stop::Store)
        return fail(t, QStringLiteral("the body could not be written beside ") + t.target,
                    ReadFailure::Local);
    if (t.stop == Transfer::Stop::Unexpected)
        return fail(t, QString::fromLatin1(notExpected), ReadFailure::Body);
    if (t.stop == Transfer::Stop::Restart)
        return retryOrFail(t, 0, QStringLiteral("a range of another body"), ReadFailure::Body);
    // An error status, whether its page was cut short or not.
    if (t.stop == Transfer::Stop::Status ||
        (result == CURLE_OK && (status < 200 || status > 299))) {
        const QString statusText = QStringLiteral("HTTP status ") + QString::number(status);
        // A 2xx here is one libcurl could not name at the first bytes.
        const BodyDecision decision = status < 200 || status > 299 ? decideBody(status, {}, t.body)
                                                                   : BodyDecision::ErrorStatus;
        if ((decision == BodyDecision::Restart && t.restart()) ||
            decision == BodyDecision::RetryableStatus)
            return retryOrFail(t, asked, statusText, statusFailure(status));
        return fail(t, statusText, statusFailure(status));
    }
    if (result != CURLE_OK) {
        const QString error = QString::fromUtf8(curl_easy_strerror(result)) + QStringLiteral(": ") +
                              QString::fromUtf8(t.error);
        const bool deadServer = result == CURLE_COULDNT_CONNECT && t.elsewhere;
        return RetryPolicy::retryable(result) && !deadServer
                   ? retryOrFail(t, asked, error, ReadFailure::Connection)
                   : fail(t, error, ReadFailure::Connection);
    }
    // An empty body is never stored: an update file of no bytes is taken for
    // a server fault rather than allowed to wipe out the file it replaces,
    // unless the reader expects exactly that.
    if (t.body.stored == 0 && t.check->emptyExpected() && !t.file)
        t.file = TempFile::create(t.target);
    if (!t.file || (t.body.stored == 0 && !t.check->emptyExpected()))
        return fail(t, QStringLiteral("an empty body"), ReadFailure::Body);
    if (t.body.total != 0 && t.body.stored != t.body.total)
        return retryOrFail(t, asked,
                           QStringLiteral("a body cut short at ") + QString::number(t.body.stored),
                           ReadFailure::Connection);
    if (!t.check->whole(t.body.stored)) {
        t.spoiled = true;
        return fail(t, QString::fromLatin1(notExpected), ReadFailure::Body);
    }
    t.report(true);
    const quint64 id = t.id;
    const bool flush = m_flushedLater.erase(id) == 0;
    m_flusher.add(id, t.body.stored, t.body.total, std::move(t.file), flush);
    m_transfers.erase(id);
}

void TransferEngine::retryOrFail(Transfer &t, qint64 retryAfter, const QString &why,
                                 ReadFailure failure)
{
    const std::optional<milliseconds> wait =
        RetryPolicy::nextWait(t.tries, retryAfter, t.settings.retrySecond);
    if (!wait)
        return fail(t,
                    why + QStringLiteral(", after ") + QString::number(t.tries) +
                        QStringLiteral(" tries"),
                    failure);
    m_retries.emplace(Clock::now() + *wait, t.id);
}

void TransferEngine::launchDueRetries()
{
    const Clock::time_point now = Clock::now();
    while (!m_retries.empty() && m_retries.begin()->first <= now) {
        const quint64 id = m_retries.begin()->second;
        m_retries.erase(m_retries.begin());
        // A read dropped meanwhile has left only its entry here.
        const auto found = m_transfers.find(id);
        if (found != m_transfers.end())
            m_waiting[found->second->host].push_back(id);
    }
}

milliseconds TransferEngine::untilNextRetry() const
{
    if (m_retries.empty())
        return milliseconds::max();
    return std::max(milliseconds(0),
                    std::chrono::ceil<milliseconds>(m_retries.begin()->first - Clock::now()));
}

void TransferEngine::fail(Transfer &t, const QString &why, ReadFailure failure)
{
    qCInfo(lcDownload).noquote() << "read of" << t.address.toDisplayString() << "failed:" << why;
    // The part of the body kept is on the disk before anyone hears of the
    // failure: a listener that looks at the target's folder at once sees it
    // as it stays, never a .partial that appears a moment later.
    const quint64 id = t.id;
    remove(t);
    m_events.post({TransferEvent::Failed, id, 0, 0, nullptr, failure});
}

void TransferEngine::remove(Transfer &t)
{
    // Whether libcurl let go of the handle or not, it is cleaned up with the transfer.
    leaveMulti(t);
    t.keepOrDrop();
    // Destroys the temporary file with the transfer.
    m_flushedLater.erase(t.id);
    m_transfers.erase(t.id);
}
