#include "download/Transfer.h"

#include "download/Address.h"
#include "download/CurlOptions.h"
#include "download/KeptPartial.h"
#include "system/DiskFlush.h"

#include <QList>
#include <algorithm>

using std::chrono::milliseconds;

namespace
{

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

} // namespace

Transfer::Transfer(TransferEvents &events, quint64 id, const QUrl &address, const QString &target,
                   const TransferSettings &settings, const ReadExpectation &expected)
    : events(events), id(id), address(address), target(target), settings(settings),
      check(std::make_unique<BodyCheck>(expected)),
      keepPartial(expected.keepPartial && !expected.span), elsewhere(expected.elsewhere),
      span(expected.span)
{
    body.pinsDigest = check->pinsDigest();
}

void Transfer::resumeKept(std::optional<qint64> size)
{
    if (!keepPartial)
        return;
    auto kept = KeptPartial::resume(target, address, size, *check);
    if (!kept)
        return;
    file = std::move(kept->file);
    // The first answer's length is not known any more; the expected size, if
    // any, stands for it when the rest of the body is asked for.
    body = {
        kept->length, size.value_or(0), kept->validator.etag, kept->validator.lastModified, true,
        false,        body.pinsDigest};
}

bool Transfer::prepare()
{
    easy.reset(curl_easy_init());
    CURL *handle = easy.get();
    const long stallSeconds = long(std::max<qint64>(1, (settings.stallTime.count() + 999) / 1000));
    const bool prepared =
        handle && setCommonOptions(handle, address, error) &&
        curl_easy_setopt(handle, CURLOPT_PRIVATE, this) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, onHeader) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_HEADERDATA, this) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, onBody) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, this) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, stallBytesPerSecond) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, stallSeconds) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, long(settings.stallTime.count())) ==
            CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, receiveBuffer) == CURLE_OK &&
        // Over HTTP/2 a read waits for the connection it can share rather than
        // opening one of its own.
        curl_easy_setopt(handle, CURLOPT_PIPEWAIT, 1L) == CURLE_OK &&
        (settings.caFile.isEmpty() ||
         curl_easy_setopt(handle, CURLOPT_CAINFO, settings.caFile.constData()) == CURLE_OK);
    host = serverOf(address);
    return prepared;
}

bool Transfer::nextTry()
{
    // A partial body continues only where the server can tell whether it is
    // still the same body; anything else starts again from its first byte.
    if (body.stored > 0 && (span || !canContinue(body)) && !restart())
        return false;
    body.resuming = body.stored > 0;
    response = {};
    bodyStarted = false;
    stop = Stop::None;

    // Force update: a cache on the way that honours the request fetches the
    // body anew (a CDN edge or nginx's proxy_cache may not: the server's own
    // Cache-Control is what keeps the list fresh there); and the bytes
    // exactly as the server holds them, so an announced length is the length
    // of what is stored.
    QList<QByteArray> lines = {"Accept-Encoding: identity", "Cache-Control: no-cache",
                               "Pragma: no-cache"};
    if (span) {
        lines.append("Range: bytes=" + QByteArray::number(span->first) + '-' +
                     QByteArray::number(span->first + span->length - 1));
    } else if (body.resuming) {
        lines.append("Range: bytes=" + QByteArray::number(body.stored) + '-');
        lines.append("If-Range: " + ifRange(body));
    }
    curl_slist *list = nullptr;
    for (const QByteArray &line : lines) {
        curl_slist *longer = curl_slist_append(list, line.constData());
        if (!longer) {
            curl_slist_free_all(list);
            return false;
        }
        list = longer;
    }
    headers.reset(list);
    return curl_easy_setopt(easy.get(), CURLOPT_HTTPHEADER, list) == CURLE_OK;
}

bool Transfer::restart()
{
    body = {0, 0, {}, {}, false, body.resuming, body.pinsDigest};
    return check->restart() && (!file || file->truncate());
}

void Transfer::keepOrDrop()
{
    // Only a body the server can vouch for, cut short by the network or a
    // drop: one that failed its check, or whose writes failed, starts again.
    if (keepPartial) {
        const bool worth =
            !spoiled && stop != Stop::Unexpected && stop != Stop::Store && canContinue(body);
        KeptPartial::keep(worth ? std::move(file) : nullptr, target, address,
                          {body.etag, body.lastModified});
    }
    file.reset();
}

size_t Transfer::onHeader(char *data, size_t size, size_t count, void *transfer)
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
bool Transfer::beginBody()
{
    long status = 0;
    if (curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
        status < 200 || status > 299) {
        // An error page is never stored; the engine decides whether to try again.
        stop = Stop::Status;
        return false;
    }
    if (!file) {
        file = TempFile::create(target);
        if (!file) {
            stop = Stop::Store;
            return false;
        }
    }
    const BodyDecision decision =
        span ? decideSpan(status, response, span->first, span->length, span->whole)
             : decideBody(status, response, body);
    if (decision == BodyDecision::OtherSpan) {
        spoiled = true;
        stop = Stop::Unexpected;
        return false;
    }
    if (decision == BodyDecision::Span) {
        if (!check->takeSpan()) {
            stop = Stop::Store;
            return false;
        }
        body.total = span->length;
        return true;
    }
    if (decision == BodyDecision::Restart) {
        stop = restart() ? Stop::Restart : Stop::Store;
        return false;
    }
    // A whole body: whatever an earlier try left in the file goes.
    if (decision == BodyDecision::Whole && !restart()) {
        stop = Stop::Store;
        return false;
    }
    takeBody(body, decision, response);
    return true;
}

size_t Transfer::onBody(char *data, size_t size, size_t count, void *transfer)
{
    Transfer &t = *static_cast<Transfer *>(transfer);
    const qint64 length = qint64(size * count);
    if (!t.bodyStarted) {
        if (!t.beginBody())
            return CURL_WRITEFUNC_ERROR;
        t.bodyStarted = true;
    }
    // Every stored byte passes here once: a body that is not what its reader
    // expects stops at the chunk that shows it. Written here, before libcurl
    // reads more: a disk that falls behind holds the connection back, never
    // a growing buffer.
    if (!t.check->take(data, length)) {
        t.spoiled = true;
        t.stop = Stop::Unexpected;
        return CURL_WRITEFUNC_ERROR;
    }
    if (!t.file->write(data, length)) {
        t.stop = Stop::Store;
        return CURL_WRITEFUNC_ERROR;
    }
    t.body.stored += length;
    t.sinceWriteBack += length;
    if (t.sinceWriteBack >= writeBackInterval) {
        startWriteBack(t.file->handle());
        t.sinceWriteBack = 0;
    }
    t.report(false);
    return size * count;
}

void Transfer::report(bool last)
{
    const auto now = std::chrono::steady_clock::now();
    // Progress never goes back, not even when a body starts again.
    if (body.stored <= reported)
        return;
    if (!last && body.stored != body.total && now - reportedAt < reportInterval)
        return;
    reported = body.stored;
    reportedAt = now;
    events.post({TransferEvent::Progress, id, body.stored, body.total, nullptr});
}
