#include "system/SystemFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <filesystem>
#include <system_error>

#if defined(Q_OS_WIN)
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(Q_OS_LINUX)
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif
#endif

namespace
{

QString parentOf(const QString &path)
{
    return QFileInfo(path).absolutePath();
}

} // namespace

bool SystemFiles::isRegularFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && !info.isSymLink() && !info.isJunction();
}

bool SystemFiles::isRealFolder(const QString &path)
{
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink() && !info.isJunction();
}

#if defined(Q_OS_WIN)

namespace
{

bool moveOver(const QString &from, const QString &to)
{
    return MoveFileExW(reinterpret_cast<const wchar_t *>(from.utf16()),
                       reinterpret_cast<const wchar_t *>(to.utf16()),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

} // namespace

QString SystemFiles::replaceRunning(const QString &staged, const QString &target)
{
    const QString aside = target + QStringLiteral(".old");
    const bool setAside = QFileInfo::exists(target);
    if (setAside && !moveOver(target, aside))
        return QStringLiteral("it cannot be set aside (error %1)").arg(GetLastError());
    if (moveOver(staged, target))
        return {};
    const DWORD error = GetLastError();
    // The player keeps a working updater whatever happened.
    if (setAside)
        moveOver(aside, target);
    return QStringLiteral("it cannot be moved in (error %1)").arg(error);
}

void SystemFiles::removeSetAside(const QString &folder)
{
    const QDir dir(folder);
    for (const QString &name :
         dir.entryList({QStringLiteral("*.exe.old"), QStringLiteral("*.dll.old")}, QDir::Files))
        if (isRegularFile(dir.filePath(name)))
            QFile::remove(dir.filePath(name));
}

QString SystemFiles::replaceBlocker(const QString &path)
{
    const auto *name = reinterpret_cast<const wchar_t *>(path.utf16());
    const DWORD attributes = GetFileAttributesW(name);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return {};
    if (attributes & FILE_ATTRIBUTE_READONLY)
        return QStringLiteral("it is read-only");
    // The game holds its files open while it runs; a rename over a file open
    // without FILE_SHARE_DELETE fails, so ask for exactly that access.
    HANDLE handle =
        CreateFileW(name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION
                   ? QStringLiteral("it is in use by another program")
                   : QStringLiteral("it cannot be opened for replacement (error %1)").arg(error);
    }
    CloseHandle(handle);
    return {};
}

SystemFiles::FileLock::~FileLock()
{
    if (m_handle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

SystemFiles::FileLock::Result SystemFiles::FileLock::tryLock(const QString &path)
{
    // No sharing at all: a second open fails while this handle lives, and
    // Windows closes the handle when the process ends.
    HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()),
                                GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION ? Result::HeldElsewhere
                                                         : Result::Unavailable;
    m_handle = reinterpret_cast<qintptr>(handle);
    return Result::Taken;
}

#else

namespace
{

// The flags that forbid a rename over a file or into a folder whatever the
// permissions say, root's included.
bool markedUnchangeable(const QString &path)
{
#if defined(Q_OS_LINUX)
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    const bool marked =
        ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL));
    ::close(fd);
    return marked;
#else
    Q_UNUSED(path);
    return false;
#endif
}

} // namespace

QString SystemFiles::replaceBlocker(const QString &path)
{
    const QString folder = parentOf(path);
    if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) != 0)
        return QStringLiteral("its folder cannot be written");
    if (markedUnchangeable(folder))
        return QStringLiteral("its folder is marked immutable or append-only");
    if (QFileInfo::exists(path) && markedUnchangeable(path))
        return QStringLiteral("it is marked immutable or append-only");
    return {};
}

QString SystemFiles::replaceRunning(const QString &staged, const QString &target)
{
    // A file that arrived is not a program yet: it takes the old program's
    // mode (a first one that of a program anyone may run), or the next
    // start could not run it.
    struct stat old {
    };
    const mode_t mode =
        ::stat(QFile::encodeName(target).constData(), &old) == 0 ? (old.st_mode & 07777) : 0755;
    if (::chmod(QFile::encodeName(staged).constData(), mode) != 0)
        return QStringLiteral("it cannot be made a program: ") + qt_error_string(errno);
    // The running updater keeps the inode it was started from; the name
    // leads to the new program from the next start.
    std::error_code error;
    std::filesystem::rename(std::filesystem::path(QFile::encodeName(staged).toStdString()),
                            std::filesystem::path(QFile::encodeName(target).toStdString()), error);
    return error ? QString::fromStdString(error.message()) : QString();
}

void SystemFiles::removeSetAside(const QString &) {}

SystemFiles::FileLock::~FileLock()
{
    // Closing the descriptor gives the lock up. The file stays: removing it
    // would let a third updater lock a new file while a second still waits
    // on the old one.
    if (m_handle != -1)
        ::close(int(m_handle));
}

SystemFiles::FileLock::Result SystemFiles::FileLock::tryLock(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ELOOP && ::unlink(name.constData()) == 0)
        fd = ::open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return Result::Unavailable;
    // flock belongs to this open file: a second open, even in this process,
    // is refused while it lives, and the kernel drops it with the process.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        ::close(fd);
        return held ? Result::HeldElsewhere : Result::Unavailable;
    }
    m_handle = fd;
    return Result::Taken;
}

#endif
