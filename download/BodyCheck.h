#pragma once

#include "download/ReadExpectation.h"

#include <memory>
#include <openssl/evp.h>

// Holds a body to what its reader expects of it while the bytes stream to the
// disk, on the transfer thread: the SHA-256 is taken from the same bytes as
// they are written, with no second read of the file and no copy in memory.
// A body that grows past its expected size or its limit is refused at that
// very chunk, so a hostile server cannot fill the disk behind a small
// announced file, nor with an endless one.
class BodyCheck
{
public:
    explicit BodyCheck(const ReadExpectation &expected);

    // For a body that starts again from its first byte, as the whole body.
    bool restart();
    // The response holds the span asked for (see ReadExpectation::span), not
    // the whole body: from now on the bytes are held to the span's length
    // and pieces.
    bool takeSpan();
    // False when `length` more bytes would pass the expected size or the
    // limit, or the digest cannot take them; the body then fails.
    bool take(const char *data, qint64 length);
    // Whether the whole body, of `stored` bytes, is what was expected.
    bool whole(qint64 stored);
    // An expected size of 0: an empty body is a file like any other.
    bool emptyExpected() const { return m_expected.size == 0; }
    // Whether the body is held to a SHA-256, which no mixed bytes can pass.
    bool pinsDigest() const { return m_expected.sha256.has_value(); }

private:
    bool digestPieces(const char *data, qint64 length);
    bool startDigest();
    bool finishDigest(const QByteArray &expected);

    ReadExpectation m_expected;
    qint64 m_taken = 0;
    bool m_span = false;
    // For a span: the piece whose bytes arrive now, and its bytes so far.
    qsizetype m_piece = 0;
    qint64 m_inPiece = 0;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> m_digest{nullptr, EVP_MD_CTX_free};
    bool m_ready = true;
};
