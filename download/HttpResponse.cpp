#include "download/HttpResponse.h"

#include "download/RetryPolicy.h"

#include <algorithm>

namespace
{

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
    const qint64 last = rangeText.mid(dash + 1, slash - dash - 1).toLongLong(&ok);
    range.last = ok && last >= first ? last : -1;
    const qint64 total = rangeText.mid(slash + 1).toLongLong(&ok);
    range.first = first;
    range.total = ok && total > first ? total : -1;
    return range;
}

} // namespace

void takeHeaderLine(ResponseHead &head, const QByteArray &raw)
{
    const QByteArray line = raw.trimmed();
    if (line.startsWith("HTTP/")) {
        head = {};
        return;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0)
        return;
    const QByteArray name = line.left(colon).trimmed().toLower();
    const QByteArray value = line.mid(colon + 1).trimmed();
    bool ok = false;
    if (name == "content-length") {
        const qint64 length = value.toLongLong(&ok);
        if (ok && length >= 0)
            head.length = length;
    } else if (name == "content-range") {
        head.range = parseContentRange(value);
    } else if (name == "etag") {
        head.etag = value;
    } else if (name == "last-modified") {
        head.lastModified = value;
    } else if (name == "accept-ranges") {
        head.acceptsRanges = value.toLower() == "bytes";
    }
}

bool canContinue(const ResumeState &state)
{
    return state.stored > 0 && state.acceptsRanges &&
           (!state.etag.isEmpty() || !state.lastModified.isEmpty());
}

QByteArray ifRange(const ResumeState &state)
{
    return state.etag.isEmpty() ? state.lastModified : state.etag;
}

BodyDecision decideBody(long status, const ResponseHead &head, const ResumeState &state)
{
    if (status < 200 || status > 299) {
        // A range the server cannot serve: the body changed under the read.
        if (status == 416 && state.resuming)
            return BodyDecision::Restart;
        return RetryPolicy::retryable(status) ? BodyDecision::RetryableStatus
                                              : BodyDecision::ErrorStatus;
    }
    if (status != 206)
        return BodyDecision::Whole;
    // Only the rest of the very body held may follow it: a range from
    // elsewhere, a body of another length, or one under another validator
    // would store a file of mixed bytes. A body without a digest has nothing
    // else to catch that, so its 206 must name again the validator If-Range
    // sent; one that leaves it out proves nothing. With a digest pinned, such
    // a 206 is taken, and mixed bytes fail the digest. The length is known
    // from the first answer, or, for a body kept by an earlier read, from its
    // expected size.
    const QByteArray &named = state.etag.isEmpty() ? head.lastModified : head.etag;
    const bool continues =
        state.resuming && head.range.first == state.stored &&
        (named == ifRange(state) || (named.isEmpty() && state.pinsDigest)) &&
        (head.etag.isEmpty() || state.etag.isEmpty() || head.etag == state.etag) &&
        (head.lastModified.isEmpty() || state.lastModified.isEmpty() ||
         head.lastModified == state.lastModified) &&
        (state.total <= 0 || head.range.total == state.total);
    return continues ? BodyDecision::Continue : BodyDecision::Restart;
}

BodyDecision decideSpan(long status, const ResponseHead &head, qint64 first, qint64 length,
                        qint64 whole)
{
    if (status < 200 || status > 299)
        return RetryPolicy::retryable(status) ? BodyDecision::RetryableStatus
                                              : BodyDecision::ErrorStatus;
    if (status != 206)
        return BodyDecision::Whole;
    // Bytes of another span, or of a body of another length (a file changed
    // on the server), would land at the wrong place of the file they build.
    const bool exact = head.range.first == first && head.range.last == first + length - 1 &&
                       head.range.total == whole;
    return exact ? BodyDecision::Span : BodyDecision::OtherSpan;
}

void takeBody(ResumeState &state, BodyDecision decision, const ResponseHead &head)
{
    if (decision == BodyDecision::Continue) {
        state.total = std::max<qint64>(head.range.total, 0);
    } else if (decision == BodyDecision::Whole) {
        state.total = head.length.value_or(0);
        // A weak ETag cannot vouch that two ranges belong to one body.
        state.etag = head.etag.startsWith("W/") ? QByteArray() : head.etag;
        state.lastModified = head.lastModified;
        state.acceptsRanges = head.acceptsRanges;
    }
}
