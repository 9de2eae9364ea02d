#include "tools/ServerLayout.h"

#include "format/ListFormat.h"
#include "tools/FolderNames.h"
#include "tools/PackNames.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QUrl>
#include <algorithm>
#include <memory>
#include <openssl/evp.h>

namespace
{

// A name for a message that stays one line: control characters, which a
// refused name may hold, are shown as \xNN.
QString quoted(const QString &path)
{
    QString text = QStringLiteral("\"");
    for (const QChar c : path) {
        if (c.category() == QChar::Other_Control)
            text += QStringLiteral("\\x%1").arg(uint(c.unicode()), 2, 16, QLatin1Char('0'));
        else
            text += c;
    }
    return text + u'"';
}

// Why a name in `folder` (`prefix` from the game folder) cannot be shipped
// because Qt's listing leaves it out, or empty text.
QString undecodableName(const QString &folder, const QString &prefix)
{
    const std::optional<QString> name = FolderNames::firstUndecodable(folder);
    if (!name)
        return quoted(prefix.isEmpty() ? QStringLiteral(".") : prefix.chopped(1)) +
               QStringLiteral(" is a folder that cannot be read");
    if (!name->isEmpty())
        return quoted(prefix + *name) + QStringLiteral(" is not valid UTF-8");
    return {};
}

} // namespace

ServerLayout::Scan ServerLayout::scanGame(const QString &gameDir, bool includeUpdater)
{
    Scan scan;
    const QDir root(gameDir);
    // Without FollowSymlinks a linked folder is listed but not entered; it is
    // refused below rather than silently left out, and cannot loop.
    QDirIterator entries(gameDir,
                         QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                         QDirIterator::Subdirectories);
    QStringList paths;
    if (const QString refusal = undecodableName(gameDir, {}); !refusal.isEmpty()) {
        scan.refusal = refusal;
        return scan;
    }
    while (entries.hasNext()) {
        entries.next();
        const QFileInfo info = entries.fileInfo();
        const QString path = root.relativeFilePath(info.filePath());
        QString problem;
        if (info.isDir() && info.isSymLink())
            problem = QStringLiteral("is a link to a folder");
        // A link would publish whatever it points to, a system file as well
        // as a game file; the publisher packs the file itself instead.
        else if (info.isSymbolicLink())
            problem = QStringLiteral("is a link to a file");
        else if (info.isDir() && (!info.isReadable() || !info.isExecutable()))
            problem = QStringLiteral("is a folder that cannot be read");
        else if (!info.isDir() && !info.isFile())
            problem = QStringLiteral("is not a regular file");
        else if (info.isFile() && !info.isReadable())
            problem = QStringLiteral("cannot be read");
        else
            problem = PackNames::problem(path, includeUpdater);
        if (!problem.isEmpty()) {
            scan.refusal = quoted(path) + u' ' + problem;
            return scan;
        }
        if (info.isDir()) {
            scan.refusal = undecodableName(info.filePath(), path + u'/');
            if (!scan.refusal.isEmpty())
                return scan;
        }
        if (info.isFile()) {
            paths.append(path);
            scan.files.append({path, info.size(), {}});
        }
    }
    std::sort(scan.files.begin(), scan.files.end(),
              [](const GameFile &a, const GameFile &b) { return a.relativePath < b.relativePath; });
    paths.sort();
    if (const auto twins = PackNames::caseTwins(paths))
        scan.refusal = quoted(twins->first) + QStringLiteral(" and ") + quoted(twins->second) +
                       QStringLiteral(" differ only by case, and Windows keeps one for both");
    return scan;
}

QString ServerLayout::copyHashed(const QString &from, const QString &to, GameFile &file,
                                 const std::function<void(qint64)> &progress)
{
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(from, source.errorString());
    QFile target(to);
    if (!target.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return QStringLiteral("cannot create %1: %2").arg(to, target.errorString());

    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> hash(EVP_MD_CTX_new(),
                                                                       EVP_MD_CTX_free);
    if (!hash || EVP_DigestInit_ex(hash.get(), EVP_sha256(), nullptr) != 1)
        return QStringLiteral("cannot start SHA-256");
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    qint64 copied = 0;
    for (;;) {
        const qint64 got = source.read(buffer.data(), buffer.size());
        if (got < 0)
            return QStringLiteral("cannot read %1: %2").arg(from, source.errorString());
        if (got == 0)
            break;
        if (target.write(buffer.constData(), got) != got)
            return QStringLiteral("cannot write %1: %2").arg(to, target.errorString());
        EVP_DigestUpdate(hash.get(), buffer.constData(), std::size_t(got));
        copied += got;
        progress(copied);
    }
    if (!target.flush())
        return QStringLiteral("cannot write %1: %2").arg(to, target.errorString());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    if (EVP_DigestFinal_ex(hash.get(), digest, &digestSize) != 1)
        return QStringLiteral("cannot finish SHA-256");
    file.size = copied;
    file.sha256 = QByteArray(reinterpret_cast<const char *>(digest), int(digestSize));
    return {};
}

QString ServerLayout::storedPath(const QByteArray &sha256, const QString &suffix)
{
    const QString hex = QString::fromLatin1(sha256.toHex());
    return QStringLiteral("files/") + hex.first(2) + u'/' + hex + suffix;
}

QByteArray ServerLayout::updateList(const QList<GameFile> &files, const QString &baseUrl,
                                    const QString &date, const QString &time,
                                    const QStringList &mirrors)
{
    QList<ListFormat::FileEntry> entries;
    for (const GameFile &file : files) {
        const QStringList components = file.relativePath.split(u'/');
        QString savePath;
        for (qsizetype c = 0; c + 1 < components.size(); ++c)
            savePath += u'\\' + components[c];
        ListFormat::FileEntry entry{(baseUrl + u'/' + storedPath(file.sha256)).toUtf8(), savePath,
                                    components.last(), file.size, file.sha256};
        if (!file.chunksSha256.isEmpty()) {
            entry.chunksUrl =
                (baseUrl + u'/' + storedPath(file.chunksSha256, QStringLiteral(".chunks")))
                    .toUtf8();
            entry.chunksSha256 = file.chunksSha256;
        }
        entries.append(entry);
    }
    return ListFormat::write(entries, date, time, mirrors);
}
