#pragma once

#include <QByteArrayView>
#include <QObject>
#include <optional>

// Checks an update list against a minisign signature file and a minisign
// public key, so that whoever answers for the update server, or stands
// between it and the player, cannot hand out a list the publisher did not
// sign. Bytes in, result out: no file access, no exceptions, and every input
// (the list, the signature file and the key alike) may be hostile.
namespace ListSignature
{
// Failures are logged by name.
Q_NAMESPACE

enum class Failure {
    None,
    // The key is not the base64 of "Ed", an 8-byte key id and a 32-byte key.
    MalformedPublicKey,
    // The signature file is not four lines of the expected prefixes, base64
    // and lengths, or names an algorithm other than "ED" and "Ed".
    MalformedSignature,
    // Signed with another key: the key ids differ.
    OtherKey,
    // The signature does not match the list: the list or the signature was
    // changed, or it was made by another key that claims the same id.
    BadSignature,
    // The global signature does not cover the trusted comment as it stands.
    BadCommentSignature,
    // The trusted comment, though signed, has no "timestamp:" field, or a
    // "timestamp:" or "expires:" that is not unix seconds, or either twice.
    BadTimestamp,
};
Q_ENUM_NS(Failure)

struct Result {
    Failure failure = Failure::None;
    // From the verified trusted comment; meaningful only without a failure.
    qint64 timestamp = 0;
    std::optional<qint64> expires;
};

// `publicKey` is the base64 line of a minisign public key (the second line of
// its .pub file); `signatureFile` the whole .minisig file. Both the prehashed
// ("ED", BLAKE2b-512 of the list) and the legacy ("Ed") form are accepted.
Result verify(QByteArrayView list, QByteArrayView signatureFile, QByteArrayView publicKey);

} // namespace ListSignature
