#include "format/ListSignature.h"

#include <QByteArray>
#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <sodium.h>

using ListSignature::Failure;
using ListSignature::Result;

namespace
{

constexpr qsizetype KeyIdSize = 8;
constexpr qsizetype PublicKeySize = 2 + KeyIdSize + crypto_sign_PUBLICKEYBYTES;
constexpr qsizetype SignatureSize = 2 + KeyIdSize + crypto_sign_BYTES;

// A real signature file is a few hundred bytes; anything far larger is
// refused before it is looked at, so that a hostile server cannot make the
// check copy megabytes.
constexpr qsizetype MaxSignatureFileSize = 16 * 1024;

constexpr QByteArrayView UntrustedPrefix("untrusted comment: ");
constexpr QByteArrayView TrustedPrefix("trusted comment: ");

// Strict base64 of exactly N bytes: no blanks, no missing or extra
// characters, no bits beyond the data (libsodium checks the padding).
template <std::size_t N> bool decodeExactly(QByteArrayView text, std::array<unsigned char, N> &out)
{
    // libsodium 1.0.18 reads bytes above 0x7F as "/", so the alphabet is
    // checked first: a file in another spelling than the signer's is refused.
    const auto inAlphabet = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '+' || c == '/' || c == '=';
    };
    if (!std::all_of(text.begin(), text.end(), inAlphabet))
        return false;
    std::size_t decoded = 0;
    const char *end = nullptr;
    if (sodium_base642bin(out.data(), out.size(), text.data(), std::size_t(text.size()), nullptr,
                          &decoded, &end, sodium_base64_VARIANT_ORIGINAL) != 0)
        return false;
    return decoded == N && end == text.data() + text.size();
}

// The four lines of a signature file, each without its line break (a "\r"
// before the "\n" counts as part of the break). A line break after the fourth
// line is allowed, anything after it is not.
std::optional<std::array<QByteArrayView, 4>> fourLines(QByteArrayView file)
{
    std::array<QByteArrayView, 4> lines;
    qsizetype begin = 0;
    for (qsizetype n = 0; n < 4; ++n) {
        if (begin >= file.size())
            return std::nullopt;
        qsizetype lineBreak = file.indexOf('\n', begin);
        const bool last = lineBreak < 0;
        if (last)
            lineBreak = file.size();
        QByteArrayView line = file.sliced(begin, lineBreak - begin);
        if (line.endsWith('\r'))
            line.chop(1);
        lines[std::size_t(n)] = line;
        begin = lineBreak + 1;
        if (last && n < 3)
            return std::nullopt;
    }
    if (begin < file.size())
        return std::nullopt;
    return lines;
}

// Unix seconds: decimal digits only, no sign, within qint64.
std::optional<qint64> seconds(QByteArrayView digits)
{
    if (digits.isEmpty())
        return std::nullopt;
    qint64 value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const int digit = c - '0';
        if (value > (std::numeric_limits<qint64>::max() - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// The tab-separated fields of the trusted comment. A field given twice is
// refused rather than one of them picked, so that no two readers of the same
// comment can disagree about it.
Result parseComment(QByteArrayView comment)
{
    Result result;
    bool haveTimestamp = false;
    for (QByteArrayView rest = comment;;) {
        const qsizetype tab = rest.indexOf('\t');
        const QByteArrayView field = tab < 0 ? rest : rest.first(tab);
        if (field.startsWith("timestamp:")) {
            const std::optional<qint64> value = seconds(field.sliced(10));
            if (!value || haveTimestamp)
                return {Failure::BadTimestamp, 0, {}};
            haveTimestamp = true;
            result.timestamp = *value;
        } else if (field.startsWith("expires:")) {
            const std::optional<qint64> value = seconds(field.sliced(8));
            if (!value || result.expires)
                return {Failure::BadTimestamp, 0, {}};
            result.expires = value;
        }
        if (tab < 0)
            break;
        rest = rest.sliced(tab + 1);
    }
    if (!haveTimestamp)
        return {Failure::BadTimestamp, 0, {}};
    return result;
}

} // namespace

Result ListSignature::verify(QByteArrayView list, QByteArrayView signatureFile,
                             QByteArrayView publicKey)
{
    std::array<unsigned char, PublicKeySize> key{};
    if (!decodeExactly(publicKey, key) || std::memcmp(key.data(), "Ed", 2) != 0)
        return {Failure::MalformedPublicKey, 0, {}};

    if (signatureFile.size() > MaxSignatureFileSize)
        return {Failure::MalformedSignature, 0, {}};
    const auto lines = fourLines(signatureFile);
    if (!lines || !(*lines)[0].startsWith(UntrustedPrefix) ||
        !(*lines)[2].startsWith(TrustedPrefix))
        return {Failure::MalformedSignature, 0, {}};
    std::array<unsigned char, SignatureSize> signature{};
    std::array<unsigned char, crypto_sign_BYTES> globalSignature{};
    if (!decodeExactly((*lines)[1], signature) || !decodeExactly((*lines)[3], globalSignature))
        return {Failure::MalformedSignature, 0, {}};
    const bool prehashed = std::memcmp(signature.data(), "ED", 2) == 0;
    if (!prehashed && std::memcmp(signature.data(), "Ed", 2) != 0)
        return {Failure::MalformedSignature, 0, {}};

    if (std::memcmp(signature.data() + 2, key.data() + 2, KeyIdSize) != 0)
        return {Failure::OtherKey, 0, {}};

    // Without the library's set-up no signature can be shown to hold.
    if (sodium_init() < 0)
        return {Failure::BadSignature, 0, {}};
    const unsigned char *publicKeyBytes = key.data() + 2 + KeyIdSize;
    const unsigned char *signatureBytes = signature.data() + 2 + KeyIdSize;
    const auto *listBytes = reinterpret_cast<const unsigned char *>(list.data());
    int verified = -1;
    if (prehashed) {
        std::array<unsigned char, crypto_generichash_BYTES_MAX> digest{};
        crypto_generichash(digest.data(), digest.size(), listBytes,
                           static_cast<unsigned long long>(list.size()), nullptr, 0);
        verified = crypto_sign_verify_detached(signatureBytes, digest.data(), digest.size(),
                                               publicKeyBytes);
    } else {
        verified = crypto_sign_verify_detached(signatureBytes, listBytes,
                                               static_cast<unsigned long long>(list.size()),
                                               publicKeyBytes);
    }
    if (verified != 0)
        return {Failure::BadSignature, 0, {}};

    // The global signature binds the trusted comment to this very signature,
    // so that neither can be moved onto another list.
    const QByteArrayView comment = (*lines)[2].sliced(TrustedPrefix.size());
    QByteArray signedComment(reinterpret_cast<const char *>(signatureBytes), crypto_sign_BYTES);
    signedComment.append(comment);
    if (crypto_sign_verify_detached(
            globalSignature.data(), reinterpret_cast<const unsigned char *>(signedComment.data()),
            static_cast<unsigned long long>(signedComment.size()), publicKeyBytes) != 0)
        return {Failure::BadCommentSignature, 0, {}};

    return parseComment(comment);
}
