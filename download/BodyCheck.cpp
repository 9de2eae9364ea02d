#include "download/BodyCheck.h"

BodyCheck::BodyCheck(const ReadExpectation &expected) : m_expected(expected)
{
    if (m_expected.sha256 || !m_expected.pieces.isEmpty())
        m_digest.reset(EVP_MD_CTX_new());
    restart();
}

// A digest that cannot be set up fails the body: an unchecked file must not
// pass for a checked one.
bool BodyCheck::startDigest()
{
    return m_digest && EVP_DigestInit_ex(m_digest.get(), EVP_sha256(), nullptr) == 1;
}

bool BodyCheck::finishDigest(const QByteArray &expected)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(m_digest.get(), digest, &length) != 1)
        return false;
    return QByteArray(reinterpret_cast<const char *>(digest), int(length)) == expected;
}

bool BodyCheck::restart()
{
    m_taken = 0;
    m_span = false;
    m_ready = !m_expected.sha256 || startDigest();
    return m_ready;
}

bool BodyCheck::takeSpan()
{
    m_taken = 0;
    m_span = true;
    m_piece = 0;
    m_inPiece = 0;
    m_ready = m_expected.span.has_value() && (m_expected.pieces.isEmpty() || startDigest());
    return m_ready;
}

// Feeds the bytes to the pieces they belong to, closing each piece at its
// last byte; false at the first piece whose bytes are not the ones pinned.
bool BodyCheck::digestPieces(const char *data, qint64 length)
{
    while (length > 0 && m_piece < m_expected.pieces.size()) {
        const ReadExpectation::Piece &piece = m_expected.pieces[m_piece];
        const qint64 part = std::min(length, piece.length - m_inPiece);
        if (EVP_DigestUpdate(m_digest.get(), data, size_t(part)) != 1)
            return false;
        data += part;
        length -= part;
        m_inPiece += part;
        if (m_inPiece == piece.length) {
            if (!finishDigest(piece.sha256))
                return false;
            ++m_piece;
            m_inPiece = 0;
            if (m_piece < m_expected.pieces.size() && !startDigest())
                return false;
        }
    }
    // Bytes past the last piece are no span's.
    return length == 0;
}

bool BodyCheck::take(const char *data, qint64 length)
{
    const qint64 taken = m_taken + length;
    if (!m_ready || (m_expected.limit && taken > *m_expected.limit))
        return false;
    if (m_span) {
        if (taken > m_expected.span->length ||
            (!m_expected.pieces.isEmpty() && !digestPieces(data, length)))
            return m_ready = false;
    } else {
        if (m_expected.size && taken > *m_expected.size)
            return false;
        if (m_expected.sha256 && EVP_DigestUpdate(m_digest.get(), data, size_t(length)) != 1)
            return m_ready = false;
    }
    m_taken += length;
    return true;
}

bool BodyCheck::whole(qint64 stored)
{
    if (!m_ready || stored != m_taken)
        return false;
    if (m_span)
        return stored == m_expected.span->length &&
               (m_expected.pieces.isEmpty() || m_piece == m_expected.pieces.size());
    if (m_expected.size && stored != *m_expected.size)
        return false;
    if (!m_expected.sha256)
        return true;
    m_ready = false;
    return finishDigest(*m_expected.sha256);
}
