#include "download/DiskFlush.h"

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

void startWriteBack(qintptr) {}

bool replaceFile(const QString &from, const QString &to)
{
    return MoveFileExW(reinterpret_cast<const wchar_t *>(from.utf16()),
                       reinterpret_cast<const wchar_t *>(to.utf16()),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
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

#endif
