#include "profile/modTypes.h"

#include "profile/ProfileCache.h"
#include "profile/ProfileFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

QString ReadIni(const QString &file, const QString &section, const QString &key)
{
    const std::shared_ptr<const ProfileFile::Index> profile = ProfileCache::current(file);
    if (!profile)
        return {};
    return QString::fromLocal8Bit(profile->value(section.toLocal8Bit(), key.toLocal8Bit()));
}

// The new content goes to a temporary file beside the profile, which then
// replaces it in one step: a program that dies mid-write leaves the old
// profile whole. A profile that is read-only is refused up front, because the
// replacement would otherwise succeed wherever its folder is writable.
//
// On a full disk the temporary file gets no bytes. QSaveFile's own buffer
// would hide that: its write succeeds, the flush inside commit() fails, and
// commit() still puts the empty file in the profile's place. Unbuffered, every
// write reaches the file at once and a failed one makes the commit discard
// the temporary file; each step's result is checked all the same, so that
// the old profile stays byte for byte unless every byte of the new one was
// written.
WriteResult WriteIni(const QString &file, const QString &section, const QString &key,
                     const QString &value)
{
    const auto failed = [&file](const QString &step, const QString &error) {
        return WriteResult{file + QStringLiteral(": ") + step + QStringLiteral(": ") + error};
    };
    const QFileInfo info(file);
    QByteArray content;
    if (info.exists()) {
        if (!info.isFile() || !info.isWritable() || info.size() > ProfileFile::MaxFileSize)
            return failed(QStringLiteral("check"),
                          QStringLiteral("not a writable file within the profile size"));
        QFile profile(file);
        if (!profile.open(QIODevice::ReadOnly))
            return failed(QStringLiteral("open"), profile.errorString());
        content = profile.readAll();
        if (profile.error() != QFileDevice::NoError)
            return failed(QStringLiteral("read"), profile.errorString());
    }

    const std::optional<QByteArray> updated = ProfileFile::withValue(
        content, section.toLocal8Bit(), key.toLocal8Bit(), value.toLocal8Bit());
    if (!updated)
        return failed(QStringLiteral("format"),
                      QStringLiteral("the value cannot be stored as one line"));
    if (info.exists() && *updated == content)
        return {};

    QSaveFile replacement(file);
    if (!replacement.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return failed(QStringLiteral("open for replacement"), replacement.errorString());
    if (replacement.write(*updated) != updated->size() || !replacement.flush() ||
        replacement.error() != QFileDevice::NoError) {
        const QString error = replacement.errorString();
        replacement.cancelWriting();
        return failed(QStringLiteral("write"), error);
    }
    if (!replacement.commit())
        return failed(QStringLiteral("commit"), replacement.errorString());
    return {};
}
