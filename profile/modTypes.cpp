#include "profile/modTypes.h"

#include "profile/ProfileCache.h"
#include "profile/ProfileFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

QString ReadIni(const QString &file, const QString &section, const QString &key)
{
    const std::shared_ptr<const ProfileFile::Index> profile = ProfileCache::Current(file);
    if (!profile)
        return {};
    return QString::fromLocal8Bit(profile->value(section.toLocal8Bit(), key.toLocal8Bit()));
}

// The new content goes to a temporary file beside the profile, which then
// replaces it in one step: a program that dies mid-write leaves the old
// profile whole. A profile that is read-only is refused up front, because the
// replacement would otherwise succeed wherever its folder is writable.
void WriteIni(const QString &file, const QString &section, const QString &key, const QString &value)
{
    const QFileInfo info(file);
    QByteArray content;
    if (info.exists()) {
        if (!info.isFile() || !info.isWritable() || info.size() > ProfileFile::MaxFileSize)
            return;
        QFile profile(file);
        if (!profile.open(QIODevice::ReadOnly))
            return;
        content = profile.readAll();
        if (profile.error() != QFileDevice::NoError)
            return;
    }

    const std::optional<QByteArray> updated = ProfileFile::withValue(
        content, section.toLocal8Bit(), key.toLocal8Bit(), value.toLocal8Bit());
    if (!updated || (info.exists() && *updated == content))
        return;

    QSaveFile replacement(file);
    if (!replacement.open(QIODevice::WriteOnly))
        return;
    if (replacement.write(*updated) != updated->size()) {
        replacement.cancelWriting();
        return;
    }
    replacement.commit();
}
