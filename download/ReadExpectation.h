#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <optional>

// What the caller knows a read's body must be. A body that does not match
// fails the read, and its target is left as it was. Without any of the values
// the body is taken as the server sends it.
struct ReadExpectation {
    // Bytes. A body that grows past it is cut off at once. With a size of 0,
    // an empty body is a file like any other.
    std::optional<qint64> size{};
    // The 32 bytes of the body's SHA-256.
    std::optional<QByteArray> sha256{};
    // A read that fails or is dropped keeps the part of the body that arrived
    // beside its target (see KeptPartial) when the server can tell a later
    // read whether it is still the same body, and a later read into the same
    // target with this set continues it. Without it no file outlives the read.
    bool keepPartial = false;
    // A body that grows past this many bytes fails at once, while it
    // streams; a shorter one is fine (unlike `size`).
    std::optional<qint64> limit{};
    // The caller puts the body on the disk itself before anything relies on
    // it (a staged file that the commit flushes, together with all the
    // others, before its journal): the read then skips the flush that
    // otherwise comes before the body takes its target's place, which costs
    // a journal commit per batch of small files. Without it the body is on
    // the disk before it replaces its target.
    bool flushedLater = false;

    // Another server may serve the same body: a connection that cannot be
    // made fails the read at once, rather than after its tries, so that a
    // dead server costs one attempt per read instead of seconds of waiting.
    bool elsewhere = false;

    // A read of part of the body only: `length` bytes from byte `first` of a
    // body of `whole` bytes, asked with Range. The bytes are taken only from
    // a 206 that names exactly that span of exactly that length: a span from
    // elsewhere fails the read at once, since bytes stored at the wrong
    // offset would spoil a file. A server that ignores Range and answers
    // with the whole body (200) is taken at its word: that body is then the
    // read's, held to `size` and `sha256` as a whole read is. A span is
    // never continued by a later try; it starts again from its first byte.
    struct Span {
        qint64 first = 0;
        qint64 length = 0;
        qint64 whole = 0;
    };
    std::optional<Span> span{};
    // For a span: the SHA-256 of each piece of it in turn (their lengths add
    // up to the span's), each checked the moment its last byte arrives, so
    // that a hostile server is caught within one piece rather than at the
    // end of the span.
    struct Piece {
        qint64 length = 0;
        QByteArray sha256;
    };
    QList<Piece> pieces{};
};
