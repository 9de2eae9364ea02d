#include "update/DiskSync.h"

#include <QFile>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

bool SyncToDisk(const QString &path)
{
#ifdef Q_OS_WIN
    // Windows keeps a folder's names on the disk with the rename itself;
    // only a file's data needs flushing.
    HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const bool flushed = (GetFileAttributesW(reinterpret_cast<const wchar_t *>(path.utf16())) &
                          FILE_ATTRIBUTE_DIRECTORY) ||
                         FlushFileBuffers(handle);
    CloseHandle(handle);
    return flushed;
#else
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
#endif
}
