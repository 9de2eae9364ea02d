#include "download/BodyCheck.h"

BodyCheck::BodyCheck(const ReadExpectation &expected) : m_expected(expected)
{
    if (m_expected.sha256)
        m_digest.reset(EVP_MD_CTX_new());
    restart();
}

bool BodyCheck::restart()
{
    m_taken = 0;
    // A digest that cannot be set up fails the body: an unchecked file must
    // not pass for a checked one.
    m_ready = !m_expected.sha256 ||
              (m_digest && EVP_DigestInit_ex(m_digest.get(), EVP_sha256(), nullptr) == 1);
    return m_ready;
}

bool BodyCheck::take(const char *data, qint64 length)
{
    const qint64 taken = m_taken + length;
    if (!m_ready || (m_expected.size && taken > *m_expected.size) ||
        (m_expected.limit && taken > *m_expected.limit))
        return false;
    if (m_expected.sha256 && EVP_DigestUpdate(m_digest.get(), data, size_t(length)) != 1)
        return m_ready = false;
    m_taken += length;
    return true;
}

bool BodyCheck::whole(qint64 stored)
{
    if (!m_ready || stored != m_taken || (m_expected.size && stored != *m_expected.size))
        return false;
    if (!m_expected.sha256)
        return true;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(m_digest.get(), digest, &length) != 1)
        return false;
    m_ready = false;
    return QByteArray(reinterpret_cast<const char *>(digest), int(length)) == *m_expected.sha256;
}
