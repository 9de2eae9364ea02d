#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <optional>

// What an HTTP response means for the body a read stores, decided from its
// status and headers alone: no connection, file or event loop is involved,
// so every rule here can be tried on its own. All of it is untrusted input
// from the server; a header that cannot be read is taken as absent.

// "bytes <first>-<last>/<total>" of a 206; first -1 when unreadable, total -1
// for "*" or one that cannot be the length of that range's body.
struct ContentRange {
    qint64 first = -1;
    qint64 last = -1;
    qint64 total = -1;
};

// What a response announced in its headers.
struct ResponseHead {
    std::optional<qint64> length;
    ContentRange range;
    QByteArray etag;
    QByteArray lastModified;
    bool acceptsRanges = false;
};

// Takes one header line (its line break included or not) into `head`. Every
// response, a redirect's included, starts with its status line, which starts
// a new head: what a redirect announced never speaks for the final body.
void takeHeaderLine(ResponseHead &head, const QByteArray &line);

// The body a read holds so far, and what the response that sent its first
// bytes said about it; a later try continues it only under the same validator.
struct ResumeState {
    // Bytes in the file.
    qint64 stored = 0;
    // The whole body's length; 0 while unknown.
    qint64 total = 0;
    // A strong ETag, or empty.
    QByteArray etag;
    QByteArray lastModified;
    bool acceptsRanges = false;
    // This try asked for the rest of the body from `stored` on.
    bool resuming = false;
    // The body is held to a SHA-256, which no mixed bytes can pass.
    bool pinsDigest = false;
};

// Whether the body held can be continued with Range and If-Range: the server
// offered ranges and named a validator that lets it tell whether it still
// has the same body.
bool canContinue(const ResumeState &state);
// The validator an If-Range sends for the body held.
QByteArray ifRange(const ResumeState &state);

enum class BodyDecision {
    // A 2xx other than 206: the whole body from its first byte.
    Whole,
    // A 206 with the rest of the very body held.
    Continue,
    // The body held cannot be continued: it starts again from its first byte.
    Restart,
    // An error status that may pass: tried again after a wait.
    RetryableStatus,
    // An error status that will not pass: the read fails.
    ErrorStatus,
    // A 206 with exactly the span asked for.
    Span,
    // A 206 with bytes from elsewhere than the span asked for: the read fails.
    OtherSpan,
};

// What a response of `status` with `head` means for the body held in `state`.
BodyDecision decideBody(long status, const ResponseHead &head, const ResumeState &state);

// What a response to a read of `length` bytes from byte `first` of a body of
// `whole` bytes means: a 206 must name exactly that span of that body; a 200
// is the whole body.
BodyDecision decideSpan(long status, const ResponseHead &head, qint64 first, qint64 length,
                        qint64 whole);
// Records in `state` what the response whose body is taken (Whole or Continue)
// announced about the body.
void takeBody(ResumeState &state, BodyDecision decision, const ResponseHead &head);
