#include "update/FileDigest.h"

#include "system/SystemFiles.h"

#include <QFile>
#include <QFutureWatcher>
#include <QSaveFile>
#include <QtConcurrent/QtConcurrentMap>
#include <atomic>
#include <memory>
#include <openssl/evp.h>

namespace
{

std::atomic<qint64> hashed{0};

} // namespace

QList<bool> filesMatch(const QList<FileCheck> &files,
                       const std::function<void(const std::function<bool()> &)> &wait)
{
    QFutureWatcher<bool> watcher;
    const QFuture<bool> checked = QtConcurrent::mapped(files, [](const FileCheck &file) {
        // Only a regular file: a link could stand for any file of the machine.
        return SystemFiles::isRegularFile(file.path) &&
               fileMatches(file.path, file.size, file.sha256);
    });
    watcher.setFuture(checked);
    wait([&] { return checked.isFinished(); });
    return checked.results();
}

qint64 bytesHashed()
{
    return hashed;
}

namespace
{

// Reads `file` to its end, hashing it and handing each block to `take`; true
// when it was `size` bytes with this SHA-256.
bool hashMatches(QFile &file, qint64 size, const QByteArray &sha256,
                 const std::function<bool(const char *, qint64)> &take = {})
{
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return false;
    QByteArray chunk(256 * 1024, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 read = file.read(chunk.data(), chunk.size());
        if (read < 0)
            return false;
        if (read == 0)
            break;
        total += read;
        hashed += read;
        if (EVP_DigestUpdate(context.get(), chunk.constData(), size_t(read)) != 1 ||
            (take && !take(chunk.constData(), read)))
            return false;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
        return false;
    // A file that grew or shrank while it was read is not the one measured.
    return total == size &&
           QByteArray(reinterpret_cast<const char *>(digest), int(length)) == sha256;
}

} // namespace

bool fileMatches(const QString &path, qint64 size, const QByteArray &sha256)
{
    QFile file(path);
    // The size is the cheap first test: most changed files differ in it.
    return file.open(QIODevice::ReadOnly) && file.size() == size && hashMatches(file, size, sha256);
}

bool copyMatching(const QString &from, const QString &to, qint64 size, const QByteArray &sha256)
{
    QFile source(from);
    QSaveFile copy(to);
    if (!SystemFiles::isRegularFile(from) || !source.open(QIODevice::ReadOnly) ||
        source.size() != size || !copy.open(QIODevice::WriteOnly))
        return false;
    const bool matches = hashMatches(source, size, sha256, [&](const char *data, qint64 length) {
        return copy.write(data, length) == length;
    });
    if (!matches) {
        copy.cancelWriting();
        return false;
    }
    return copy.commit();
}
