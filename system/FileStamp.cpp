#include "system/FileStamp.h"

#include <QFile>
#include <chrono>

#if defined(Q_OS_WIN)
#include <QDir>
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#if defined(Q_OS_WIN)

namespace
{

qint64 nanoseconds(qint64 fileTime)
{
    constexpr qint64 From1601To1970 = 116444736000000000; // in 100 ns
    return (fileTime - From1601To1970) * 100;
}

} // namespace

std::optional<FileStamp> FileStamp::of(const QString &path)
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
    FileStamp stamp;
    stamp.device = info.dwVolumeSerialNumber;
    stamp.file = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    stamp.size = qint64((quint64(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    stamp.modified = nanoseconds(basic.LastWriteTime.QuadPart);
    stamp.changed = nanoseconds(basic.ChangeTime.QuadPart);
    return stamp;
}

#else

std::optional<FileStamp> FileStamp::of(const QString &path)
{
    struct stat status {
    };
    if (::stat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    FileStamp stamp;
    stamp.device = quint64(status.st_dev);
    stamp.file = quint64(status.st_ino);
    stamp.size = qint64(status.st_size);
    stamp.modified = qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    stamp.changed = qint64(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec;
    return stamp;
}

#endif

qint64 FileStamp::now()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool FileStamp::settledBefore(qint64 when) const
{
    // Without a status-change time (FAT), the modification time stands for it.
    const qint64 lastChange = modified > changed ? modified : changed;
    const bool coarse = lastChange % 10000000 == 0;
    const qint64 delay = coarse ? 3000000000 : 50000000;
    return lastChange < when - delay;
}
