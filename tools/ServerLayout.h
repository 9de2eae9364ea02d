#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>

// The server side of an update, laid out from a game folder: every file under
// "files/" by its SHA-256 (storedPath), a file of ChunkIndex::SmallestChunkedFile
// or more with its chunk index beside it, and the update list naming each with
// its address, target folder, name, size and SHA-256. An address never changes
// its bytes, so caches may keep them for ever and builds can share a folder.
namespace ServerLayout
{

struct GameFile {
    QString relativePath; // "/" between components
    qint64 size = 0;
    QByteArray sha256;            // raw digest, filled in by copyHashed
    QByteArray chunksSha256 = {}; // raw digest of its chunk index; empty: none
};

// The regular files below `gameDir`, sorted by path, with the sizes seen now;
// or, in `refusal`, why one entry cannot be shipped, naming it.
struct Scan {
    QList<GameFile> files;
    QString refusal;
};
// `includeUpdater`: see PackNames::problem.
Scan scanGame(const QString &gameDir, bool includeUpdater = false);

// Copies `from` to the new file `to` in one pass that also hashes the bytes,
// so the listed size and digest are those of the copy that is served even
// when the source changes meanwhile. `progress` gets the bytes copied so far.
// Returns empty text, or what went wrong.
QString copyHashed(const QString &from, const QString &to, GameFile &file,
                   const std::function<void(qint64)> &progress);

// Where content with this raw SHA-256 is stored below the server folder:
// "files/<first 2 hex digits>/<64 hex digits>", and `suffix` (".chunks" for a
// chunk index, so that it never shares a name with a file's bytes).
QString storedPath(const QByteArray &sha256, const QString &suffix = {});

// The update list in the updater's profile format.
QByteArray updateList(const QList<GameFile> &files, const QString &baseUrl, const QString &date,
                      const QString &time, const QStringList &mirrors = {});

} // namespace ServerLayout
