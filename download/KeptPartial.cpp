#include "download/KeptPartial.h"

#include "download/BodyCheck.h"
#include "log/UpdaterLog.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <algorithm>

namespace
{

const QByteArray magic = "updater partial body 1";
// Far beyond a real address and validator; a larger file is not ours.
constexpr qint64 longestMeta = 16 * 1024;
constexpr qsizetype longestValidator = 1024;
// The block in which a kept body is read back for its digest.
constexpr qint64 readBlock = 64 * 1024;

// A validator goes into an If-Range header: a line break in it would let a
// tampered meta file add headers of its own to the request.
bool usable(const QByteArray &value)
{
    return value.size() <= longestValidator &&
           std::all_of(value.cbegin(), value.cend(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

} // namespace

QString KeptPartial::bodyPath(const QString &target)
{
    return target + QStringLiteral(".partial");
}

QString KeptPartial::metaPath(const QString &target)
{
    return target + QStringLiteral(".partial.meta");
}

std::optional<KeptPartial::Validator> KeptPartial::take(const QString &target, const QUrl &address)
{
    QFile meta(metaPath(target));
    QByteArray text;
    if (meta.open(QIODevice::ReadOnly) && meta.size() <= longestMeta)
        text = meta.read(longestMeta);
    meta.close();
    QFile::remove(metaPath(target));
    // Exactly the four lines Describe writes, for this very address.
    const QList<QByteArray> lines = text.split('\n');
    std::optional<Validator> validator;
    if (lines.size() == 5 && lines[0] == magic && lines[1] == address.toEncoded() &&
        lines[4].isEmpty() && usable(lines[2]) && usable(lines[3]) && !lines[2].startsWith("W/") &&
        (!lines[2].isEmpty() || !lines[3].isEmpty()))
        validator = Validator{lines[2], lines[3]};
    if (!validator)
        QFile::remove(bodyPath(target));
    return validator;
}

bool KeptPartial::describe(const QString &target, const QUrl &address, const Validator &validator)
{
    if (!usable(validator.etag) || !usable(validator.lastModified))
        return false;
    const QByteArray text = magic + '\n' + address.toEncoded() + '\n' + validator.etag + '\n' +
                            validator.lastModified + '\n';
    QSaveFile meta(metaPath(target));
    return meta.open(QIODevice::WriteOnly) && meta.write(text) == text.size() && meta.commit();
}

void KeptPartial::remove(const QString &target)
{
    QFile::remove(metaPath(target));
    QFile::remove(bodyPath(target));
}

std::optional<KeptPartial::Resumed> KeptPartial::resume(const QString &target, const QUrl &address,
                                                        std::optional<qint64> size,
                                                        BodyCheck &check)
{
    const QString kept = bodyPath(target);
    const std::optional<Validator> validator = take(target, address);
    if (!validator)
        return std::nullopt;
    const QFileInfo info(kept);
    const qint64 length = info.size();
    // A kept body as long as the whole one or longer cannot be the start of
    // it; nor can an empty one be worth a range. A link is never followed:
    // the rest of the body would be written wherever it points.
    if (!info.isFile() || info.isSymLink() || length <= 0 || (size && length >= *size)) {
        QFile::remove(kept);
        return std::nullopt;
    }
    QFile prefix(kept);
    if (!prefix.open(QIODevice::ReadOnly)) {
        QFile::remove(kept);
        return std::nullopt;
    }
    QByteArray block(int(readBlock), Qt::Uninitialized);
    qint64 read = 0;
    while (read < length) {
        const qint64 got = prefix.read(block.data(), std::min<qint64>(block.size(), length - read));
        if (got <= 0 || !check.take(block.constData(), got))
            break;
        read += got;
    }
    prefix.close();
    std::unique_ptr<TempFile> file = read == length ? TempFile::adopt(target, kept) : nullptr;
    if (!file || file->size() != length) {
        QFile::remove(kept);
        check.restart();
        return std::nullopt;
    }
    return Resumed{std::move(file), length, *validator};
}

void KeptPartial::keep(std::unique_ptr<TempFile> file, const QString &target, const QUrl &address,
                       const Validator &validator)
{
    if (!file)
        return remove(target);
    if (const QString why = file->keep(bodyPath(target)); !why.isEmpty()) {
        qCInfo(lcDownload).noquote() << "the part of a body received could not be kept:" << why;
        return remove(target);
    }
    if (!describe(target, address, validator))
        remove(target);
}
