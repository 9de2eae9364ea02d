#pragma once

#include "system/FileStamp.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <optional>

// What the updater knows of the game files it installed or verified: for
// each, its path below the program folder, its stamp (see FileStamp) and
// its SHA-256, and whether an update installed it. A listed file whose
// stamp is unchanged is taken as verified without being read, so an update
// costs what it changes, not what the game holds; and a file that an
// earlier list installed and the new one no longer names can be told from
// a file the player made.
//
// The cache lies in the player's folder: a cache that does not read back
// whole (its own digest at its end) is ignored and rebuilt, never trusted,
// and an entry is trusted only where its stamp was settled (see
// FileStamp::settledBefore) when the cache was written.
class StateCache
{
public:
    struct Entry {
        FileStamp stamp;
        QByteArray sha256; // the raw 32 bytes
        // Put in place by an update (not merely found matching).
        bool installed = false;
    };

    // The cache of the program folder; empty when there is none, or when it
    // is damaged (why goes to the updater.run category).
    static StateCache load();

    // True when the cache vouches, without a read, that the file at
    // `relative` (see FileNameGuard::relativeTarget) is `size` bytes with
    // this SHA-256: its stamp is the one recorded, and was settled then.
    bool vouchesFor(const QString &relative, qint64 size, const QByteArray &sha256) const;

    // Notes that the file at `relative` now holds bytes with this SHA-256,
    // by its stamp as it is now. `installed` keeps what is already known
    // when the file was only verified.
    void record(const QString &relative, const QByteArray &sha256, bool installed);
    void forget(const QString &relative);
    // The files recorded with this SHA-256 (paths below the program folder),
    // whatever they hold now: a reader checks the bytes it takes.
    QStringList holding(const QByteArray &sha256) const;

    // The files that updates installed, by their path below the program
    // folder, with what was recorded of them.
    QHash<QString, Entry> installed() const;

    // The files that an update installed and that no key of `named` (see
    // StagedUpdate::stagingKey) names any more, to be removed: only while
    // each is as the update left it. A file changed since is the player's,
    // and is forgotten; the updater never removes a file it did not install.
    QStringList dropped(const QSet<QString> &named);

    // Writes the cache atomically and through to the disk. False when that
    // fails; the old cache then stays as it was.
    bool save() const;

private:
    QHash<QString, Entry> m_entries;
    // When the loaded cache was written (nanoseconds since 1970).
    qint64 m_writtenAt = 0;
};
