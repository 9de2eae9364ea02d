#pragma once

#include <QByteArray>
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
};
