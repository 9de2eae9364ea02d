#include "download/TransferEngine.h"

#include "download/BodyCheck.h"
#include "download/CurlOptions.h"
#include "download/DiskFlush.h"
#include "log/UpdaterLog.h"
#include "download/KeptPartial.h"

#include <QFile>
#include <QFileInfo>

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
// Tries after the first one, and the wait before each in seconds.
constexpr int retries = 3;
// A server may ask for a longer wait between tries, up to this many seconds.
constexpr curl_off_t longestRetryAfter = 30;
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

// Whether a try that ended with this status or error may go better the next time.
bool retryable(long status)
{
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 ||
           status == 504;
}

bool retryable(CURLcode result)
{
    switch (result) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return true;
    default:
        return false;
    }
}

// "bytes <first>-<last>/<total>" of a 206; total -1 for "*".
struct ContentRange {
    qint64 first = -1;
    qint64 total = -1;
};

ContentRange parseContentRange(const QByteArray &value)
{
    ContentRange range;
    if (!value.startsWith("bytes "))
        return range;
    const QByteArray rangeText = value.mid(6).trimmed();
    const qsizetype dash = rangeText.indexOf('-');
    const qsizetype slash = rangeText.indexOf('/');
    if (dash <= 0 || slash < dash)
        return range;
    bool ok = false;
    const qint64 first = rangeText.left(dash).toLongLong(&ok);
    if (!ok || first < 0)
        return range;
    const qint64 total = rangeText.mid(slash + 1).toLongLong(&ok);
    range.first = first;
    range.total = ok && total > first ? total : -1;
    return range;
}

} // namespace

// What a response announced in its headers; a new status line starts a new one.
struct Response {
    std::optional<qint64> length;
    ContentRange range;
    QByteArray etag;
    QByteArray lastModified;
    bool acceptsRanges = false;
    // Its first body bytes have been seen and accepted.
    bool bodyStarted = false;
};

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

    // The body in the file so far, and what the response that sent its first
    // bytes said about it; a later try continues it only under the same validator.
    qint64 stored = 0;
    qint64 sinceWriteBack = 0;
    qint64 total = 0;
    QByteArray etag;
    QByteArray lastModified;
    bool acceptsRanges = false;

    Response response;
    // This try asked for the rest of the body from `stored` on.
    bool resuming = false;
    // Why this try was stopped from the inside.
    enum class Stop { None, Status, Restart, Store, Unexpected } stop = Stop::None;

    qint64 reported = 0;
    Clock::time_point reportedAt;

    void post(TransferEvent event) { engine->m_events.post(std::move(event)); }

    // Forgets the partial body so that the next try fetches it whole.
    bool restart()
    {
        stored = 0;
        total = 0;
        etag.clear();
        lastModified.clear();
        acceptsRanges = false;
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
    m_transfers.emplace(t.id, std::move(owned));
    if (t.keepPartial)
        takeKept(t, command.expected.size);
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
    if (t.stored > 0 && !(t.acceptsRanges && (!t.etag.isEmpty() || !t.lastModified.isEmpty())))
        if (!t.restart())
            return false;
    t.resuming = t.stored > 0;
    t.response = {};
    t.stop = Transfer::Stop::None;

    // Force update: whatever lies in a cache on the way, fetch it anew; and
    // the bytes exactly as the server holds them, so an announced length is
    // the length of what is stored.
    QList<QByteArray> lines = {"Accept-Encoding: identity", "Cache-Control: no-cache",
                               "Pragma: no-cache"};
    if (t.resuming) {
        lines.append("Range: bytes=" + QByteArray::number(t.stored) + '-');
        lines.append("If-Range: " + (t.etag.isEmpty() ? t.lastModified : t.etag));
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
    const QByteArray line = QByteArray(data, qsizetype(size * count)).trimmed();
    // Every response, a redirect's included, starts with its status line.
    if (line.startsWith("HTTP/")) {
        t.response = {};
        return size * count;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0)
        return size * count;
    const QByteArray name = line.left(colon).trimmed().toLower();
    const QByteArray value = line.mid(colon + 1).trimmed();
    bool ok = false;
    if (name == "content-length") {
        const qint64 length = value.toLongLong(&ok);
        if (ok && length >= 0)
            t.response.length = length;
    } else if (name == "content-range") {
        t.response.range = parseContentRange(value);
    } else if (name == "etag") {
        t.response.etag = value;
    } else if (name == "last-modified") {
        t.response.lastModified = value;
    } else if (name == "accept-ranges") {
        t.response.acceptsRanges = value.toLower() == "bytes";
    }
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
    const Response &r = t.response;
    if (status == 206) {
        // Only the rest of the very body in the file may follow it: a range
        // from elsewhere, a body of another length, or one under another
        // validator would store a file of mixed bytes. A body without a
        // digest has nothing else to catch that, so its 206 must name again
        // the validator If-Range sent; one that leaves it out proves nothing.
        // With a digest pinned, such a 206 is taken, and mixed bytes fail the
        // digest. The length is known from the first answer, or, for a body
        // kept by an earlier read, from its expected size.
        const QByteArray &sent = t.etag.isEmpty() ? t.lastModified : t.etag;
        const QByteArray &named = t.etag.isEmpty() ? r.lastModified : r.etag;
        const bool continues = t.resuming && r.range.first == t.stored &&
                               (named == sent || (named.isEmpty() && t.check->pinsDigest())) &&
                               (r.etag.isEmpty() || t.etag.isEmpty() || r.etag == t.etag) &&
                               (r.lastModified.isEmpty() || t.lastModified.isEmpty() ||
                                r.lastModified == t.lastModified) &&
                               (t.total <= 0 || r.range.total == t.total);
        if (!continues) {
            t.stop = t.restart() ? Transfer::Stop::Restart : Transfer::Stop::Store;
            return false;
        }
        t.total = std::max<qint64>(r.range.total, 0);
        return true;
    }
    // A whole body: whatever an earlier try left in the file goes.
    if (!t.restart()) {
        t.stop = Transfer::Stop::Store;
        return false;
    }
    t.total = r.length.value_or(0);
    // A weak ETag cannot vouch that two ranges belong to one body.
    t.etag = r.etag.startsWith("W/") ? QByteArray() : r.etag;
    t.lastModified = r.lastModified;
    t.acceptsRanges = r.acceptsRanges;
    return true;
}

size_t TransferEngine::onBody(char *data, size_t size, size_t count, void *transfer)
{
    Transfer &t = *static_cast<Transfer *>(transfer);
    const qint64 length = qint64(size * count);
    if (!t.response.bodyStarted) {
        if (!beginBody(t))
            return CURL_WRITEFUNC_ERROR;
        t.response.bodyStarted = true;
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
    t.stored += length;
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
    if (t.stored <= t.reported)
        return;
    if (!last && t.stored != t.total && now - t.reportedAt < reportInterval)
        return;
    t.reported = t.stored;
    t.reportedAt = now;
    t.post({TransferEvent::Progress, t.id, t.stored, t.total, nullptr});
}

void TransferEngine::settle(Transfer &t, CURLcode result)
{
    long status = 0;
    if (!leaveMulti(t) ||
        curl_easy_getinfo(t.easy.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK)
        return fail(t, QStringLiteral("the transfer could not be ended"));
    curl_off_t retryAfter = 0;
    if (curl_easy_getinfo(t.easy.get(), CURLINFO_RETRY_AFTER, &retryAfter) != CURLE_OK ||
        retryAfter > longestRetryAfter)
        retryAfter = 0;
    const milliseconds asked = t.settings.retrySecond * retryAfter;

    // A body other than the one expected is no passing fault of the network.
    if (t.stop == Transfer::Stop::Store)
        return fail(t, QStringLiteral("the body could not be written beside ") + t.target);
    if (t.stop == Transfer::Stop::Unexpected)
        return fail(t, QString::fromLatin1(notExpected));
    if (t.stop == Transfer::Stop::Restart)
        return retryOrFail(t, milliseconds(0), QStringLiteral("a range of another body"));
    // An error status, whether its page was cut short or not.
    if (t.stop == Transfer::Stop::Status ||
        (result == CURLE_OK && (status < 200 || status > 299))) {
        const QString statusText = QStringLiteral("HTTP status ") + QString::number(status);
        // A range the server cannot serve: the body changed under the read.
        if (status == 416 && t.resuming && t.restart())
            return retryOrFail(t, asked, statusText);
        return retryable(status) ? retryOrFail(t, asked, statusText) : fail(t, statusText);
    }
    if (result != CURLE_OK) {
        const QString error = QString::fromUtf8(curl_easy_strerror(result)) + QStringLiteral(": ") +
                              QString::fromUtf8(t.error);
        return retryable(result) ? retryOrFail(t, asked, error) : fail(t, error);
    }
    // An empty body is never stored: an update file of no bytes is taken for
    // a server fault rather than allowed to wipe out the file it replaces,
    // unless the reader expects exactly that.
    if (t.stored == 0 && t.check->emptyExpected() && !t.file)
        t.file = TempFile::create(t.target);
    if (!t.file || (t.stored == 0 && !t.check->emptyExpected()))
        return fail(t, QStringLiteral("an empty body"));
    if (t.total != 0 && t.stored != t.total)
        return retryOrFail(t, asked,
                           QStringLiteral("a body cut short at ") + QString::number(t.stored));
    if (!t.check->whole(t.stored)) {
        t.spoiled = true;
        return fail(t, QString::fromLatin1(notExpected));
    }
    report(t, true);
    const quint64 id = t.id;
    m_flusher.add(id, t.stored, t.total, std::move(t.file));
    m_transfers.erase(id);
}

void TransferEngine::retryOrFail(Transfer &t, milliseconds asked, const QString &why)
{
    if (t.tries > retries)
        return fail(t, why + QStringLiteral(", after ") + QString::number(t.tries) +
                           QStringLiteral(" tries"));
    const milliseconds backOff = t.settings.retrySecond * (1 << (t.tries - 1));
    m_retries.emplace(Clock::now() + (asked.count() > 0 ? asked : backOff), t.id);
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
    if (t.keepPartial)
        keep(t);
    // Destroys the temporary file with the transfer.
    m_transfers.erase(t.id);
}

void TransferEngine::takeKept(Transfer &t, std::optional<qint64> size)
{
    const QString kept = KeptPartial::bodyPath(t.target);
    const std::optional<KeptPartial::Validator> validator = KeptPartial::take(t.target, t.address);
    if (!validator)
        return;
    const QFileInfo info(kept);
    const qint64 length = info.size();
    // A kept body as long as the whole one or longer cannot be the start of
    // it; nor can an empty one be worth a range. A link is never followed:
    // the rest of the body would be written wherever it points.
    if (!info.isFile() || info.isSymLink() || length <= 0 || (size && length >= *size)) {
        QFile::remove(kept);
        return;
    }
    // The digest covers the whole file: the bytes kept are read once, here,
    // before any of the rest arrives.
    QFile prefix(kept);
    if (!prefix.open(QIODevice::ReadOnly))
        return void(QFile::remove(kept));
    QByteArray block(int(receiveBuffer), Qt::Uninitialized);
    qint64 read = 0;
    while (read < length) {
        const qint64 got = prefix.read(block.data(), std::min<qint64>(block.size(), length - read));
        if (got <= 0 || !t.check->take(block.constData(), got))
            break;
        read += got;
    }
    prefix.close();
    t.file = read == length ? TempFile::adopt(t.target, kept) : nullptr;
    if (!t.file || t.file->size() != length) {
        QFile::remove(kept);
        t.file.reset();
        t.check->restart();
        return;
    }
    t.stored = length;
    // The first answer's length is not known any more; the expected size,
    // if any, stands for it when the rest of the body is asked for.
    t.total = size.value_or(0);
    t.etag = validator->etag;
    t.lastModified = validator->lastModified;
    t.acceptsRanges = true;
}

void TransferEngine::keep(Transfer &t)
{
    // Only a body the server can vouch for, cut short by the network or a
    // drop: one that failed its check, or whose writes failed, starts again.
    const bool worth = t.file && t.stored > 0 && !t.spoiled &&
                       t.stop != Transfer::Stop::Unexpected && t.stop != Transfer::Stop::Store &&
                       t.acceptsRanges && (!t.etag.isEmpty() || !t.lastModified.isEmpty());
    if (!worth || !t.file->keep(KeptPartial::bodyPath(t.target)) ||
        !KeptPartial::describe(t.target, t.address, {t.etag, t.lastModified}))
        KeptPartial::remove(t.target);
    t.file.reset();
}
