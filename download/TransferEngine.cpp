#include "download/TransferEngine.h"

#include "download/BodyCheck.h"
#include "download/CurlOptions.h"
#include "download/DiskFlush.h"
#include "download/HttpResponse.h"
#include "download/KeptPartial.h"
#include "download/RetryPolicy.h"
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
// A read fails when it receives less than this many bytes per second over
// its stall time.
constexpr long stallBytesPerSecond = 1024;
// Once this much of a body has been written, its write-back to the disk
// starts while the rest arrives, so that little is left for the final flush.
constexpr qint64 writeBackInterval = 32 * 1024 * 1024;
// Progress of one read is reported at most this often, about once per repaint.
constexpr auto reportInterval = milliseconds(16);
// What libcurl reads from a connection at once: a larger buffer means fewer
// calls and writes for a large body, but one above malloc's mmap threshold
// (128 KiB) costs every small file a mapping and its page faults.
constexpr long receiveBuffer = 64 * 1024;
// Why a read of a body that failed its size or SHA-256 check failed, as logged.
constexpr const char *notExpected = "the body is not the one expected (size or SHA-256)";

} // namespace

struct TransferEngine::Command {
    enum Kind { Start, DropAll } kind;
    quint64 id = 0;
    QUrl address;
    QString target;
    TransferSettings settings;
    ReadExpectation expected;
};

struct TransferEngine::Transfer {
    TransferEngine *engine = nullptr;
    quint64 id = 0;
    QUrl address;
    QString target;
    TransferSettings settings;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy{nullptr, curl_easy_cleanup};
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers{nullptr,
                                                                        curl_slist_free_all};
    char error[CURL_ERROR_SIZE] = {};
    // Opened with the first body bytes, so that reads waiting for a
    // connection hold no file.
    std::unique_ptr<TempFile> file;
    std::unique_ptr<BodyCheck> check;
    bool keepPartial = false;
    // The body in the file failed its check: none of it may be continued.
    bool spoiled = false;
    int tries = 0;
    bool running = false;
    // scheme://host:port, whose share of reads in libcurl this one holds.
    QString host;
    bool admitted = false;

    ResumeState body;
    qint64 sinceWriteBack = 0;

    ResponseHead response;
    // The first body bytes of this try's final response have been seen and accepted.
    bool bodyStarted = false;
    // Why this try was stopped from the inside.
    enum class Stop { None, Status, Restart, Store, Unexpected } stop = Stop::None;

    qint64 reported = 0;
    Clock::time_point reportedAt;

    void post(TransferEvent event) { engine->m_events.post(std::move(event)); }

    // Forgets the partial body so that the next try fetches it whole.
    bool restart()
    {
        body = {0, 0, {}, {}, false, body.resuming, body.pinsDigest};
        return check->restart() && (!file || file->truncate());
    }
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
        fail(*m_transfers.begin()->second, QString::fromLatin1(why));
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
                fail(t, QStringLiteral("the transfer could not be started"));
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
    auto owned = std::make_unique<Transfer>();
    Transfer &t = *owned;
    t.engine = this;
    t.id = command.id;
    t.address = command.address;
    t.target = command.target;
    t.settings = command.settings;
    t.check = std::make_unique<BodyCheck>(command.expected);
    t.keepPartial = command.expected.keepPartial;
    t.body.pinsDigest = t.check->pinsDigest();
    m_transfers.emplace(t.id, std::move(owned));
    if (t.keepPartial) {
        if (auto kept = KeptPartial::resume(t.target, t.address, command.expected.size, *t.check)) {
            t.file = std::move(kept->file);
            // The first answer's length is not known any more; the expected
            // size, if any, stands for it when the rest of the body is asked for.
            t.body = {kept->length,
                      command.expected.size.value_or(0),
                      kept->validator.etag,
                      kept->validator.lastModified,
                      true,
                      false,
                      t.body.pinsDigest};
        }
    }
    t.easy.reset(curl_easy_init());
    CURL *easy = t.easy.get();
    const long stallSeconds =
        long(std::max<qint64>(1, (t.settings.stallTime.count() + 999) / 1000));
    const bool prepared =
        easy && setCommonOptions(easy, t.address, t.error) &&
        curl_easy_setopt(easy, CURLOPT_PRIVATE, &t) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &t) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &t) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, stallBytesPerSecond) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, stallSeconds) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(t.settings.stallTime.count())) ==
            CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, receiveBuffer) == CURLE_OK &&
        // Over HTTP/2 a read waits for the connection it can share rather than
        // opening one of its own.
        curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L) == CURLE_OK &&
        (t.settings.caFile.isEmpty() ||
         curl_easy_setopt(easy, CURLOPT_CAINFO, t.settings.caFile.constData()) == CURLE_OK);
    if (!prepared)
        return fail(t, QStringLiteral("the transfer could not be prepared: ") +
                           QString::fromUtf8(t.error));
    t.host = t.address.scheme().toLower() + QLatin1String("://") + t.address.host() +
             QLatin1Char(':') +
             QString::number(t.address.port(t.address.scheme() == "https" ? 443 : 80));
    m_waiting[t.host].push_back(t.id);
}

bool TransferEngine::launch(Transfer &t)
{
    ++t.tries;
    // A partial body continues only where the server can tell whether it is
    // still the same body; anything else starts again from its first byte.
    if (t.body.stored > 0 && !canContinue(t.body) && !t.restart())
        return false;
    t.body.resuming = t.body.stored > 0;
    t.response = {};
    t.bodyStarted = false;
    t.stop = Transfer::Stop::None;

    // Force update: whatever lies in a cache on the way, fetch it anew; and
    // the bytes exactly as the server holds them, so an announced length is
    // the length of what is stored.
    QList<QByteArray> lines = {"Accept-Encoding: identity", "Cache-Control: no-cache",
                               "Pragma: no-cache"};
    if (t.body.resuming) {
        lines.append("Range: bytes=" + QByteArray::number(t.body.stored) + '-');
        lines.append("If-Range: " + ifRange(t.body));
    }
    curl_slist *headers = nullptr;
    for (const QByteArray &line : lines) {
        curl_slist *longer = curl_slist_append(headers, line.constData());
        if (!longer) {
            curl_slist_free_all(headers);
            return false;
        }
        headers = longer;
    }
    t.headers.reset(headers);
    if (curl_easy_setopt(t.easy.get(), CURLOPT_HTTPHEADER, headers) != CURLE_OK || !m_multi ||
        curl_multi_add_handle(m_multi, t.easy.get()) != CURLM_OK)
        return false;
    t.running = true;
    return true;
}

size_t TransferEngine::onHeader(char *data, size_t size, size_t count, void *transfer)
{
    Transfer &t = *static_cast<Transfer *>(transfer);
    // A new status line is a new response, whose body is not begun yet.
    const QByteArray line(data, qsizetype(size * count));
    if (line.trimmed().startsWith("HTTP/"))
        t.bodyStarted = false;
    takeHeaderLine(t.response, line);
    return size * count;
}

// Decides, at its first bytes, what the body of the final response is: the
// whole body, the rest of the one in the file, or nothing worth storing.
bool TransferEngine::beginBody(Transfer &t)
{
    long status = 0;
    if (curl_easy_getinfo(t.easy.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
        status < 200 || status > 299) {
        // An error page is never stored; settle() decides whether to try again.
        t.stop = Transfer::Stop::Status;
        return false;
    }
    if (!t.file) {
        t.file = TempFile::create(t.target);
        if (!t.file) {
            t.stop = Transfer::Stop::Store;
            return false;
        }
    }
    const BodyDecision decision = decideBody(status, t.response, t.body);
    if (decision == BodyDecision::Restart) {
        t.stop = t.restart() ? Transfer::Stop::Restart : Transfer::Stop::Store;
        return false;
    }
    // A whole body: whatever an earlier try left in the file goes.
    if (decision == BodyDecision::Whole && !t.restart()) {
        t.stop = Transfer::Stop::Store;
        return false;
    }
    takeBody(t.body, decision, t.response);
    return true;
}

size_t TransferEngine::onBody(char *data, size_t size, size_t count, void *transfer)
{
    Transfer &t = *static_cast<Transfer *>(transfer);
    const qint64 length = qint64(size * count);
    if (!t.bodyStarted) {
        if (!beginBody(t))
            return CURL_WRITEFUNC_ERROR;
        t.bodyStarted = true;
    }
    // Every stored byte passes here once: a body that is not what its reader
    // expects stops at the chunk that shows it. Written here, before libcurl
    // reads more: a disk that falls behind holds the connection back, never
    // a growing buffer.
    if (!t.check->take(data, length)) {
        t.spoiled = true;
        t.stop = Transfer::Stop::Unexpected;
        return CURL_WRITEFUNC_ERROR;
    }
    if (!t.file->write(data, length)) {
        t.stop = Transfer::Stop::Store;
        return CURL_WRITEFUNC_ERROR;
    }
    t.body.stored += length;
    t.sinceWriteBack += length;
    if (t.sinceWriteBack >= writeBackInterval) {
        startWriteBack(t.file->handle());
        t.sinceWriteBack = 0;
    }
    report(t, false);
    return size * count;
}

void TransferEngine::report(Transfer &t, bool last)
{
    const Clock::time_point now = Clock::now();
    // Progress never goes back, not even when a body starts again.
    if (t.body.stored <= t.reported)
        return;
    if (!last && t.body.stored != t.body.total && now - t.reportedAt < reportInterval)
        return;
    t.reported = t.body.stored;
    t.reportedAt = now;
    t.post({TransferEvent::Progress, t.id, t.body.stored, t.body.total, nullptr});
}

void TransferEngine::settle(Transfer &t, CURLcode result)
{
    long status = 0;
    if (!leaveMulti(t) ||
        curl_easy_getinfo(t.easy.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK)
        return fail(t, QStringLiteral("the transfer could not be ended"));
    curl_off_t retryAfter = 0;
    if (curl_easy_getinfo(t.easy.get(), CURLINFO_RETRY_AFTER, &retryAfter) != CURLE_OK)
        retryAfter = 0;
    const qint64 asked = RetryPolicy::honouredRetryAfter(retryAfter);

    // A body other than the one expected is no passing fault of the network.
    if (t.stop == Transfer::Stop::Store)
        return fail(t, QStringLiteral("the body could not be written beside ") + t.target);
    if (t.stop == Transfer::Stop::Unexpected)
        return fail(t, QString::fromLatin1(notExpected));
    if (t.stop == Transfer::Stop::Restart)
        return retryOrFail(t, 0, QStringLiteral("a range of another body"));
    // An error status, whether its page was cut short or not.
    if (t.stop == Transfer::Stop::Status ||
        (result == CURLE_OK && (status < 200 || status > 299))) {
        const QString statusText = QStringLiteral("HTTP status ") + QString::number(status);
        // A 2xx here is one libcurl could not name at the first bytes.
        const BodyDecision decision = status < 200 || status > 299 ? decideBody(status, {}, t.body)
                                                                   : BodyDecision::ErrorStatus;
        if ((decision == BodyDecision::Restart && t.restart()) ||
            decision == BodyDecision::RetryableStatus)
            return retryOrFail(t, asked, statusText);
        return fail(t, statusText);
    }
    if (result != CURLE_OK) {
        const QString error = QString::fromUtf8(curl_easy_strerror(result)) + QStringLiteral(": ") +
                              QString::fromUtf8(t.error);
        return RetryPolicy::retryable(result) ? retryOrFail(t, asked, error) : fail(t, error);
    }
    // An empty body is never stored: an update file of no bytes is taken for
    // a server fault rather than allowed to wipe out the file it replaces,
    // unless the reader expects exactly that.
    if (t.body.stored == 0 && t.check->emptyExpected() && !t.file)
        t.file = TempFile::create(t.target);
    if (!t.file || (t.body.stored == 0 && !t.check->emptyExpected()))
        return fail(t, QStringLiteral("an empty body"));
    if (t.body.total != 0 && t.body.stored != t.body.total)
        return retryOrFail(t, asked,
                           QStringLiteral("a body cut short at ") + QString::number(t.body.stored));
    if (!t.check->whole(t.body.stored)) {
        t.spoiled = true;
        return fail(t, QString::fromLatin1(notExpected));
    }
    report(t, true);
    const quint64 id = t.id;
    m_flusher.add(id, t.body.stored, t.body.total, std::move(t.file));
    m_transfers.erase(id);
}

void TransferEngine::retryOrFail(Transfer &t, qint64 retryAfter, const QString &why)
{
    const std::optional<milliseconds> wait =
        RetryPolicy::nextWait(t.tries, retryAfter, t.settings.retrySecond);
    if (!wait)
        return fail(t, why + QStringLiteral(", after ") + QString::number(t.tries) +
                           QStringLiteral(" tries"));
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

void TransferEngine::fail(Transfer &t, const QString &why)
{
    qCInfo(lcDownload).noquote() << "read of" << t.address.toDisplayString() << "failed:" << why;
    // The part of the body kept is on the disk before anyone hears of the
    // failure: a listener that looks at the target's folder at once sees it
    // as it stays, never a .partial that appears a moment later.
    const quint64 id = t.id;
    remove(t);
    m_events.post({TransferEvent::Failed, id, 0, 0, nullptr});
}

void TransferEngine::remove(Transfer &t)
{
    // Whether libcurl let go of the handle or not, it is cleaned up with the transfer.
    leaveMulti(t);
    // Only a body the server can vouch for, cut short by the network or a
    // drop: one that failed its check, or whose writes failed, starts again.
    if (t.keepPartial) {
        const bool worth = !t.spoiled && t.stop != Transfer::Stop::Unexpected &&
                           t.stop != Transfer::Stop::Store && canContinue(t.body);
        KeptPartial::keep(worth ? std::move(t.file) : nullptr, t.target, t.address,
                          {t.body.etag, t.body.lastModified});
        t.file.reset();
    }
    // Destroys the temporary file with the transfer.
    m_transfers.erase(t.id);
}
