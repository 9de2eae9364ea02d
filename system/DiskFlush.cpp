#include "system/DiskFlush.h"

#include <QFile>
#include <set>

#if defined(Q_OS_WIN)
#include <io.h>
#include <windows.h>
#else
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#if defined(Q_OS_WIN)

bool flushToDisk(const std::vector<qintptr> &handles)
{
    bool flushed = true;
    for (const qintptr handle : handles) {
        const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(static_cast<int>(handle)));
        flushed = file != INVALID_HANDLE_VALUE && FlushFileBuffers(file) != 0 && flushed;
    }
    return flushed;
}

bool flushFilesToDisk(const QStringList &paths)
{
    bool flushed = true;
    for (const QString &path : paths) {
        const HANDLE file = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()),
                                        GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            flushed = false;
            continue;
        }
        flushed = FlushFileBuffers(file) != 0 && flushed;
        CloseHandle(file);
    }
    return flushed;
}

void startWriteBack(qintptr) {}

bool replaceFile(const QString &from, const QString &to)
{
    return MoveFileExW(reinterpret_cast<const wchar_t *>(from.utf16()),
                       reinterpret_cast<const wchar_t *>(to.utf16()),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool syncToDisk(const QString &path)
{
    const auto *name = reinterpret_cast<const wchar_t *>(path.utf16());
    const DWORD attributes = GetFileAttributesW(name);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    // Windows keeps a folder's names on the disk with the rename itself;
    // only a file's data needs flushing.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return true;
    HANDLE handle =
        CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const bool flushed = FlushFileBuffers(handle) != 0;
    CloseHandle(handle);
    return flushed;
}

#else

bool flushToDisk(const std::vector<qintptr> &handles)
{
    bool flushed = true;
#if defined(Q_OS_LINUX)
    // syncfs writes back every file of one file system with one journal
    // commit; a file per file system stands for all the others there.
    std::set<dev_t> synced;
    for (const qintptr handle : handles) {
        const int fd = static_cast<int>(handle);
        struct stat status;
        if (fstat(fd, &status) != 0)
            flushed = false;
        else if (synced.insert(status.st_dev).second && syncfs(fd) != 0)
            flushed = false;
    }
#else
    for (const qintptr handle : handles)
        flushed = fsync(static_cast<int>(handle)) == 0 && flushed;
#endif
    return flushed;
}

bool flushFilesToDisk(const QStringList &paths)
{
    bool flushed = true;
#if defined(Q_OS_LINUX)
    std::set<dev_t> synced;
#endif
    for (const QString &path : paths) {
        const QByteArray name = QFile::encodeName(path);
#if defined(Q_OS_LINUX)
        struct stat status;
        if (stat(name.constData(), &status) != 0) {
            flushed = false;
            continue;
        }
        if (synced.contains(status.st_dev))
            continue;
#endif
        const int fd = open(name.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            flushed = false;
            continue;
        }
        flushed = flushToDisk(std::vector<qintptr>{fd}) && flushed;
#if defined(Q_OS_LINUX)
        synced.insert(status.st_dev);
#endif
        close(fd);
    }
    return flushed;
}

void startWriteBack(qintptr handle)
{
#if defined(Q_OS_LINUX)
    sync_file_range(static_cast<int>(handle), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    Q_UNUSED(handle);
#endif
}

bool replaceFile(const QString &from, const QString &to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

bool syncToDisk(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

#endif
