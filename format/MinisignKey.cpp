#include "format/MinisignKey.h"

#include <QList>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sodium.h>

using MinisignKey::SecretKey;

namespace
{

// The secret key record: "Ed" | KDF algorithm (2) | checksum algorithm "B2"
// | KDF salt (32) | KDF opslimit (8) | KDF memlimit (8) | key id (8) |
// secret key (64) | checksum (32).
constexpr std::size_t KdfAt = 2;
constexpr std::size_t ChecksumAlgorithmAt = 4;
constexpr std::size_t SaltAt = 6;
constexpr std::size_t OpsLimitAt = 38;
constexpr std::size_t MemLimitAt = 46;
constexpr std::size_t KeyIdAt = 54;
constexpr std::size_t SecretAt = 62;
constexpr std::size_t ChecksumAt = 126;
constexpr std::size_t SecretRecordSize = 158;

// A secret key file is two short lines; a larger file is refused unread.
constexpr qsizetype MaxSecretFileSize = 4096;

// A password encrypts the key id, the secret key and the checksum: the
// record from the key id on.
constexpr std::size_t EncryptedSize = SecretRecordSize - KeyIdAt;

// minisign's scrypt limits for a new key (libsodium's "sensitive" ones).
constexpr std::uint64_t NewOpsLimit = crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE;
constexpr std::uint64_t NewMemLimit = crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE;
// The limits are read from the key file; a damaged one could ask scrypt for
// years of work or more memory than any machine has. Four times minisign's
// own limits leaves room for a stronger key and bounds the wait.
constexpr std::uint64_t MaxOpsLimit = 4 * NewOpsLimit;
constexpr std::uint64_t MaxMemLimit = 4 * NewMemLimit;

void storeLittleEndian(unsigned char *at, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint64_t loadLittleEndian(const unsigned char *at)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | at[i];
    return value;
}

// XORs the encrypted part of `record` with the stream scrypt derives from
// the password and the record's salt and limits: encrypts a plain record,
// decrypts an encrypted one. False, with the record unchanged, when the
// limits are out of bounds or scrypt cannot run (out of memory).
bool applyPassword(unsigned char *record, QByteArrayView password)
{
    const std::uint64_t opsLimit = loadLittleEndian(record + OpsLimitAt);
    const std::uint64_t memLimit = loadLittleEndian(record + MemLimitAt);
    if (opsLimit > MaxOpsLimit || memLimit > MaxMemLimit)
        return false;
    std::array<unsigned char, EncryptedSize> stream{};
    if (crypto_pwhash_scryptsalsa208sha256(stream.data(), stream.size(), password.data(),
                                           static_cast<unsigned long long>(password.size()),
                                           record + SaltAt, opsLimit,
                                           static_cast<std::size_t>(memLimit)) != 0) {
        sodium_memzero(stream.data(), stream.size());
        return false;
    }
    for (std::size_t i = 0; i < stream.size(); ++i)
        record[KeyIdAt + i] ^= stream[i];
    sodium_memzero(stream.data(), stream.size());
    return true;
}

QByteArray base64(const unsigned char *data, std::size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)).toBase64();
}

// What minisign checks a decrypted key against: BLAKE2b-256 over the
// signature algorithm, the key id and the secret key.
std::array<unsigned char, 32> checksum(const SecretKey &key)
{
    std::array<unsigned char, 32> checksum{};
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, checksum.size());
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>("Ed"), 2);
    crypto_generichash_update(&state, key.keyId.data(), key.keyId.size());
    crypto_generichash_update(&state, key.secret.data(), key.secret.size());
    crypto_generichash_final(&state, checksum.data(), checksum.size());
    return checksum;
}

QByteArray keyIdText(const std::array<unsigned char, 8> &keyId)
{
    // minisign prints the id as a little-endian 64-bit number in hex.
    QByteArray text;
    for (auto byte = keyId.rbegin(); byte != keyId.rend(); ++byte)
        text += QByteArray::number(*byte, 16).rightJustified(2, '0');
    return text.toUpper();
}

} // namespace

SecretKey::SecretKey(SecretKey &&other) noexcept : keyId(other.keyId), secret(other.secret)
{
    sodium_memzero(other.secret.data(), other.secret.size());
}

SecretKey::~SecretKey()
{
    sodium_memzero(secret.data(), secret.size());
}

QByteArray SecretKey::publicKeyLine() const
{
    std::array<unsigned char, 42> record{};
    std::memcpy(record.data(), "Ed", 2);
    std::memcpy(record.data() + 2, keyId.data(), keyId.size());
    std::memcpy(record.data() + 10, secret.data() + 32, 32);
    return base64(record.data(), record.size());
}

MinisignKey::KeyFiles MinisignKey::generate(std::optional<QByteArrayView> password)
{
    SecretKey key;
    std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> publicKey{};
    crypto_sign_keypair(publicKey.data(), key.secret.data());
    randombytes_buf(key.keyId.data(), key.keyId.size());

    // Unencrypted: no KDF algorithm, and salt and limits left zero, as
    // `minisign -G -W` leaves them.
    std::array<unsigned char, SecretRecordSize> record{};
    std::memcpy(record.data(), "Ed", 2);
    std::memcpy(record.data() + ChecksumAlgorithmAt, "B2", 2);
    std::memcpy(record.data() + KeyIdAt, key.keyId.data(), key.keyId.size());
    std::memcpy(record.data() + SecretAt, key.secret.data(), key.secret.size());
    const std::array<unsigned char, 32> sum = checksum(key);
    std::memcpy(record.data() + ChecksumAt, sum.data(), sum.size());
    if (password) {
        std::memcpy(record.data() + KdfAt, "Sc", 2);
        randombytes_buf(record.data() + SaltAt, OpsLimitAt - SaltAt);
        storeLittleEndian(record.data() + OpsLimitAt, NewOpsLimit);
        storeLittleEndian(record.data() + MemLimitAt, NewMemLimit);
        // minisign's own limits: scrypt only fails here when the machine
        // cannot give it the memory, and a key then cannot be made at all.
        if (!applyPassword(record.data(), *password)) {
            sodium_memzero(record.data(), record.size());
            return {};
        }
    }

    KeyFiles files;
    files.secretFile = (password ? QByteArray("untrusted comment: minisign encrypted secret key\n")
                                 : QByteArray("untrusted comment: minisign secret key "
                                              "(unencrypted)\n")) +
                       base64(record.data(), record.size()) + '\n';
    sodium_memzero(record.data(), record.size());
    files.publicKeyLine = key.publicKeyLine();
    files.publicFile = "untrusted comment: minisign public key " + keyIdText(key.keyId) + '\n' +
                       files.publicKeyLine + '\n';
    return files;
}

MinisignKey::ReadResult MinisignKey::readSecretKey(QByteArrayView file,
                                                   std::optional<QByteArrayView> password)
{
    ReadResult result;
    if (file.size() > MaxSecretFileSize) {
        result.problem = QStringLiteral("not a minisign secret key file (too large)");
        return result;
    }
    QList<QByteArrayView> lines;
    for (qsizetype begin = 0; begin < file.size();) {
        qsizetype end = file.indexOf('\n', begin);
        if (end < 0)
            end = file.size();
        QByteArrayView line = file.sliced(begin, end - begin);
        if (line.endsWith('\r'))
            line.chop(1);
        lines.append(line);
        begin = end + 1;
    }
    // libsodium 1.0.18 reads bytes above 0x7F as "/": check the alphabet.
    const bool base64 =
        lines.size() == 2 && std::all_of(lines[1].begin(), lines[1].end(), [](char c) {
            return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                   c == '+' || c == '/' || c == '=';
        });
    std::array<unsigned char, SecretRecordSize> record{};
    std::size_t decoded = 0;
    const char *end = nullptr;
    if (!base64 || !lines[0].startsWith("untrusted comment: ") ||
        sodium_base642bin(record.data(), record.size(), lines[1].data(),
                          std::size_t(lines[1].size()), nullptr, &decoded, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        decoded != record.size() || end != lines[1].data() + lines[1].size() ||
        std::memcmp(record.data(), "Ed", 2) != 0 ||
        std::memcmp(record.data() + ChecksumAlgorithmAt, "B2", 2) != 0) {
        result.problem = QStringLiteral("not a minisign secret key file");
        return result;
    }
    const bool encrypted = std::memcmp(record.data() + KdfAt, "Sc", 2) == 0;
    if (!encrypted && (record[KdfAt] != 0 || record[KdfAt + 1] != 0)) {
        result.problem = QStringLiteral("the secret key is encrypted in a way minisign does not "
                                        "use");
        return result;
    }
    if (encrypted && !password) {
        result.needsPassword = true;
        return result;
    }
    if (encrypted && !applyPassword(record.data(), *password)) {
        sodium_memzero(record.data(), record.size());
        result.problem = QStringLiteral("the secret key file is damaged (its scrypt limits are "
                                        "out of bounds) or the memory for them is lacking");
        return result;
    }

    SecretKey key;
    std::memcpy(key.keyId.data(), record.data() + KeyIdAt, key.keyId.size());
    std::memcpy(key.secret.data(), record.data() + SecretAt, key.secret.size());
    const std::array<unsigned char, 32> sum = checksum(key);
    const std::array<unsigned char, 32> zero{};
    const unsigned char *stored = record.data() + ChecksumAt;
    // `minisign -G -W` leaves the checksum zero; any other value must match,
    // so that a damaged key file is noticed before it signs a release. For
    // an encrypted key it is the only sign of a wrong password, so it must
    // match there whatever it holds.
    const bool checksumOk = (!encrypted && std::memcmp(stored, zero.data(), zero.size()) == 0) ||
                            sodium_memcmp(stored, sum.data(), sum.size()) == 0;
    sodium_memzero(record.data(), record.size());

    // The public half stored in the key must belong to its seed; otherwise
    // every signature would fail for the players, not here.
    std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> derivedPublic{};
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> derivedSecret{};
    crypto_sign_seed_keypair(derivedPublic.data(), derivedSecret.data(), key.secret.data());
    sodium_memzero(derivedSecret.data(), derivedSecret.size());
    if (!checksumOk || std::memcmp(derivedPublic.data(), key.secret.data() + 32, 32) != 0) {
        result.problem = encrypted ? QStringLiteral("wrong password, or the secret key file is "
                                                    "damaged")
                                   : QStringLiteral("the secret key file is damaged (its checksum "
                                                    "or its public half does not match)");
        return result;
    }
    result.key.emplace(std::move(key));
    return result;
}

QByteArray MinisignKey::sign(const SecretKey &key, QByteArrayView data,
                             QByteArrayView trustedComment)
{
    std::array<unsigned char, crypto_generichash_BYTES_MAX> digest{};
    crypto_generichash(digest.data(), digest.size(),
                       reinterpret_cast<const unsigned char *>(data.data()),
                       static_cast<unsigned long long>(data.size()), nullptr, 0);

    std::array<unsigned char, 2 + 8 + crypto_sign_BYTES> signature{};
    std::memcpy(signature.data(), "ED", 2);
    std::memcpy(signature.data() + 2, key.keyId.data(), key.keyId.size());
    unsigned char *signatureBytes = signature.data() + 10;
    crypto_sign_detached(signatureBytes, nullptr, digest.data(), digest.size(), key.secret.data());

    QByteArray signedComment(reinterpret_cast<const char *>(signatureBytes), crypto_sign_BYTES);
    signedComment.append(trustedComment);
    std::array<unsigned char, crypto_sign_BYTES> globalSignature{};
    crypto_sign_detached(globalSignature.data(), nullptr,
                         reinterpret_cast<const unsigned char *>(signedComment.constData()),
                         static_cast<unsigned long long>(signedComment.size()), key.secret.data());

    return "untrusted comment: signature from updater-pack secret key\n" +
           base64(signature.data(), signature.size()) +
           "\ntrusted comment: " + trustedComment.toByteArray() + '\n' +
           base64(globalSignature.data(), globalSignature.size()) + '\n';
}
