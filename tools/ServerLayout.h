#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>

// The server side of an update, laid out from a game folder: every file under
// "files/" by its relative path, and the update list naming each with its
// address, target folder, name, size and SHA-256.
namespace ServerLayout
{

struct GameFile {
    QString relativePath; // "/" between components
    qint64 size = 0;
    QByteArray sha256; // raw digest, filled in by copyHashed
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

// The address of a file: `baseUrl`, "/files/" and the percent-encoded path.
QByteArray fileUrl(const QString &baseUrl, const QString &relativePath);

// The update list in the updater's profile format.
QByteArray updateList(const QList<GameFile> &files, const QString &baseUrl, const QString &date,
                      const QString &time, const QStringList &mirrors = {});

} // namespace ServerLayout
