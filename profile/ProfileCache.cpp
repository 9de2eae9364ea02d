#include "profile/ProfileCache.h"

#include <QFile>
#include <QtGlobal>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <list>
#include <mutex>
#include <optional>

#if defined(Q_OS_WIN)
#include <QDir>
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace
{

// Times in nanoseconds since 1970, on every platform.
struct Stamp {
    quint64 device = 0;
    quint64 file = 0;
    qint64 size = 0;
    qint64 modified = 0;
    qint64 changed = 0;
    bool operator==(const Stamp &) const = default;
};

#if defined(Q_OS_WIN)
qint64 nanoseconds(qint64 fileTime)
{
    constexpr qint64 From1601To1970 = 116444736000000000; // in 100 ns
    return (fileTime - From1601To1970) * 100;
}

// Regular files only: a folder or a device is read as before, uncached.
std::optional<Stamp> stampOf(const QString &path)
{
    const HANDLE handle =
        CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                    FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    const bool known = GetFileInformationByHandle(handle, &info) &&
                       GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
                       GetFileType(handle) == FILE_TYPE_DISK &&
                       !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(handle);
    if (!known)
        return std::nullopt;
    Stamp stamp;
    stamp.device = info.dwVolumeSerialNumber;
    stamp.file = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    stamp.size = qint64((quint64(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    stamp.modified = nanoseconds(basic.LastWriteTime.QuadPart);
    stamp.changed = nanoseconds(basic.ChangeTime.QuadPart);
    return stamp;
}
#else
std::optional<Stamp> stampOf(const QString &path)
{
    struct stat status {
    };
    if (::stat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    Stamp stamp;
    stamp.device = quint64(status.st_dev);
    stamp.file = quint64(status.st_ino);
    stamp.size = qint64(status.st_size);
    stamp.modified = qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    stamp.changed = qint64(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec;
    return stamp;
}
#endif

qint64 now()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::atomic<bool> trustAtOnce = false;

// Whether a rewrite after `now` is bound to change the stamp: the file's last
// change must lie further back than the file system's clock can blur. Linux
// and NTFS stamp with a clock that moves every 1 to 16 ms; a time in whole
// hundredths of a second (FAT's 2 s, 1 s file systems, exFAT's 10 ms) marks a
// coarse one. Until then the kept content is compared at every read.
bool trusted(const Stamp &stamp, qint64 now)
{
    if (trustAtOnce)
        return true;
    // Without a status-change time (FAT), the modification time stands for it.
    const qint64 lastChange = stamp.modified > stamp.changed ? stamp.modified : stamp.changed;
    const bool coarse = lastChange % 10000000 == 0;
    const qint64 delay = coarse ? 3000000000 : 50000000;
    return lastChange < now - delay;
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
    Stamp stamp;
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
    const qint64 lookedAt = now();
    const std::optional<Stamp> stamp = stampOf(file);
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
