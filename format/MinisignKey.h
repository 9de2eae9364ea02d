#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <array>
#include <optional>

// Minisign key files and signatures, in the formats minisign 0.11 writes and
// reads, so that a publisher can make and check keys and signatures with
// either program. Needs sodium_init() to have been called.
namespace MinisignKey
{

// An unencrypted secret key. The bytes are wiped when it goes away, so that
// they do not linger in freed memory.
class SecretKey
{
public:
    SecretKey() = default;
    SecretKey(const SecretKey &) = delete;
    SecretKey &operator=(const SecretKey &) = delete;
    SecretKey(SecretKey &&other) noexcept;
    ~SecretKey();

    // The base64 line of the matching public key, as in a minisign .pub file.
    QByteArray publicKeyLine() const;

    std::array<unsigned char, 8> keyId{};
    // The 32-byte seed followed by the 32-byte public key.
    std::array<unsigned char, 64> secret{};
};

struct KeyFiles {
    QByteArray secretFile;
    QByteArray publicFile;
    QByteArray publicKeyLine;
};

// A fresh key pair as the contents of its two files. With a password the
// secret key is encrypted as `minisign -G` encrypts it (scrypt with
// minisign's limits: a few seconds and 1 GiB of memory), so that minisign
// reads it with the same password; without one it is stored in the clear as
// `minisign -G -W` writes it, but with its checksum filled in. The password
// bytes are used as given (minisign hashes what the terminal sends). Empty
// files when scrypt cannot have its memory: no key is made then.
KeyFiles generate(std::optional<QByteArrayView> password);

// The key of a secret key file, or the reason it cannot be used in
// `problem`. A password-protected key is decrypted with `password`; without
// one, `needsPassword` is set and nothing else is tried, so that the caller
// asks only when the key needs it. A wrong password and a damaged key look
// alike (the checksum tells neither apart) and give the same problem.
struct ReadResult {
    std::optional<SecretKey> key;
    bool needsPassword = false;
    QString problem;
};
ReadResult readSecretKey(QByteArrayView file,
                         std::optional<QByteArrayView> password = std::nullopt);

// A .minisig file for `data`: prehashed (BLAKE2b-512), with `trustedComment`
// under the global signature.
QByteArray sign(const SecretKey &key, QByteArrayView data, QByteArrayView trustedComment);

} // namespace MinisignKey
