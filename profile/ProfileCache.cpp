#include "profile/ProfileCache.h"

#include "system/FileStamp.h"

#include <QFile>
#include <QtGlobal>
#include <algorithm>
#include <atomic>
#include <list>
#include <mutex>
#include <optional>

namespace
{

std::atomic<bool> trustAtOnce = false;

bool trusted(const FileStamp &stamp, qint64 now)
{
    return trustAtOnce || stamp.settledBefore(now);
}

std::optional<QByteArray> read(const QString &path)
{
    QFile profile(path);
    if (!profile.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray content = profile.size() > ProfileFile::MaxFileSize
                             ? profile.read(ProfileFile::MaxFileSize)
                             : profile.readAll();
    if (profile.error() != QFileDevice::NoError)
        return std::nullopt;
    return content;
}

struct Entry {
    QString path;
    FileStamp stamp;
    bool trusted = false;
    std::shared_ptr<const ProfileFile::Index> index;
};

// init.ini and updates.ini, with room to spare; each holds at most
// ProfileFile::MaxFileSize bytes and its index.
constexpr std::size_t Capacity = 4;

std::mutex mutex;
std::list<Entry> entries; // most recently used first

} // namespace

std::shared_ptr<const ProfileFile::Index> ProfileCache::current(const QString &file)
{
    // Taken before the look at the file, so that a rewrite after the look
    // cannot hide in the span trusted() allows for.
    const qint64 lookedAt = FileStamp::now();
    const std::optional<FileStamp> stamp = FileStamp::of(file);
    const std::lock_guard lock(mutex);
    auto entry = std::find_if(entries.begin(), entries.end(),
                              [&](const Entry &e) { return e.path == file; });
    const bool same = stamp && entry != entries.end() && entry->stamp == *stamp;
    if (same && entry->trusted) {
        entries.splice(entries.begin(), entries, entry);
        return entry->index;
    }

    // Read after the look: a rewrite in between leaves content newer than the
    // stamp, which the next look sees as a change.
    std::optional<QByteArray> content = read(file);
    if (!stamp || !content) {
        if (entry != entries.end())
            entries.erase(entry);
        return content ? std::make_shared<const ProfileFile::Index>(std::move(*content)) : nullptr;
    }
    std::shared_ptr<const ProfileFile::Index> index;
    if (same && *content == entry->index->content())
        index = entry->index;
    else
        index = std::make_shared<const ProfileFile::Index>(std::move(*content));
    if (entry != entries.end())
        entries.erase(entry);
    entries.push_front({file, *stamp, trusted(*stamp, lookedAt), index});
    if (entries.size() > Capacity)
        entries.pop_back();
    return index;
}

void ProfileCache::trustStampsAtOnceForTests(bool atOnce)
{
    trustAtOnce = atOnce;
}
