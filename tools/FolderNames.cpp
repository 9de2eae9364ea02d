#include "tools/FolderNames.h"

#include <QFile>
#include <QStringDecoder>

#ifndef Q_OS_WIN
#include <cerrno>
#include <cstring>
#include <dirent.h>
#endif

std::optional<QString> FolderNames::firstUndecodable(const QString &folder)
{
#ifdef Q_OS_WIN
    Q_UNUSED(folder);
    return QString();
#else
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return std::nullopt;
    std::optional<QString> found = QString();
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (!entry) {
            if (errno != 0)
                found.reset();
            break;
        }
        QStringDecoder utf8(QStringDecoder::Utf8);
        const QString name =
            utf8(QByteArrayView(entry->d_name, qsizetype(std::strlen(entry->d_name))));
        if (utf8.hasError()) {
            found = name;
            break;
        }
    }
    ::closedir(dir);
    return found;
#endif
}
