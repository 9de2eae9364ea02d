#include "update/StateCache.h"

#include "format/UpdaterFiles.h"
#include "log/UpdaterLog.h"
#include "update/FileNameGuard.h"
#include "update/ProgramFolder.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSaveFile>
#include <QUrl>
#include <algorithm>
#include <chrono>
#include <thread>

namespace
{

const QByteArray magic = "updater state cache 1";
// A game of a million files makes a cache of about 150 MB; one far larger
// is not ours.
constexpr qint64 longestCache = 1024 * 1024 * 1024;
// A fresh stamp is waited for this long at most before the cache is
// written, so that the files a commit just moved are trusted at the next
// start (on a clock that blurs no more than FileStamp allows for).
constexpr qint64 longestSettle = 100'000'000;

QString cachePath()
{
    return gamePath(UpdaterFiles::StateCache);
}

QByteArray digestOf(QByteArrayView bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

std::optional<qint64> number(const QByteArray &text)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    return ok ? std::optional(value) : std::nullopt;
}

} // namespace

StateCache StateCache::load()
{
    StateCache cache;
    QFile file(cachePath());
    if (!file.exists())
        return cache;
    const QByteArray text = file.open(QIODevice::ReadOnly) && file.size() <= longestCache
                                ? file.readAll()
                                : QByteArray();
    // The last line holds the digest of everything before it: a cache cut
    // short, or changed by hand, is not read at all.
    const qsizetype end = text.lastIndexOf("\nend ");
    const bool whole = end > 0 && text.endsWith('\n') &&
                       text.mid(end + 5).trimmed() == digestOf(QByteArrayView(text).first(end + 1));
    QList<QByteArray> lines = whole ? text.first(end).split('\n') : QList<QByteArray>();
    std::optional<qint64> writtenAt;
    if (lines.size() >= 2 && lines[0] == magic && lines[1].startsWith("written "))
        writtenAt = number(lines[1].mid(8));
    if (!writtenAt) {
        qCInfo(lcRun) << "the state cache is damaged or unreadable; it is rebuilt";
        return cache;
    }
    cache.m_writtenAt = *writtenAt;
    for (qsizetype n = 2; n < lines.size(); ++n) {
        const QList<QByteArray> fields = lines[n].split(' ');
        Entry entry;
        std::optional<qint64> values[5];
        for (int v = 0; fields.size() == 8 && v < 5; ++v)
            values[v] = number(fields[v + 1]);
        if (fields.size() != 8 || !std::all_of(std::begin(values), std::end(values),
                                               [](const auto &v) { return v.has_value(); })) {
            qCInfo(lcRun) << "the state cache is damaged; it is rebuilt";
            return StateCache();
        }
        entry.stamp = {quint64(*values[3]), quint64(*values[4]), *values[0], *values[1],
                       *values[2]};
        entry.sha256 = QByteArray::fromHex(fields[6]);
        entry.installed = fields[7] == "1";
        cache.m_entries.insert(QUrl::fromPercentEncoding(fields[0]), entry);
    }
    return cache;
}

bool StateCache::vouchesFor(const QString &relative, qint64 size, const QByteArray &sha256) const
{
    const auto found = m_entries.constFind(relative);
    if (found == m_entries.cend() || found->sha256 != sha256 || found->stamp.size != size ||
        !found->stamp.settledBefore(m_writtenAt))
        return false;
    return FileStamp::of(gamePath(relative)) == found->stamp;
}

QStringList StateCache::holding(const QByteArray &sha256) const
{
    QStringList paths;
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it)
        if (it->sha256 == sha256)
            paths.append(it.key());
    return paths;
}

void StateCache::record(const QString &relative, const QByteArray &sha256, bool installed)
{
    const std::optional<FileStamp> stamp = FileStamp::of(gamePath(relative));
    if (!stamp) {
        m_entries.remove(relative);
        return;
    }
    const bool wasInstalled = m_entries.value(relative).installed;
    m_entries.insert(relative, {*stamp, sha256, installed || wasInstalled});
}

void StateCache::forget(const QString &relative)
{
    m_entries.remove(relative);
}

QHash<QString, StateCache::Entry> StateCache::installed() const
{
    QHash<QString, Entry> installed;
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it)
        if (it->installed)
            installed.insert(it.key(), it.value());
    return installed;
}

QStringList StateCache::dropped(const QSet<QString> &named)
{
    QStringList dropped;
    const QHash<QString, Entry> earlier = installed();
    for (auto it = earlier.cbegin(); it != earlier.cend(); ++it) {
        const QString &relative = it.key();
        if (named.contains(FileNameGuard::normalised(relative)))
            continue;
        // The cache lies in the player's folder: what it names must still
        // be a file of the game, and not one of the updater's own.
        const std::optional<QString> resolved =
            FileNameGuard::relativeTarget(QLatin1Char('/') + relative);
        if (resolved == relative && !FileNameGuard::isProtected(gamePath(relative)) &&
            FileStamp::of(gamePath(relative)) == it->stamp)
            dropped.append(relative);
        else
            forget(relative);
    }
    return dropped;
}

bool StateCache::save() const
{
    // A stamp taken in the same tick of the file system's clock as the
    // cache is written cannot vouch for the bytes. The files a commit just
    // moved are that fresh: wait for them a moment, so that the next start
    // need not read them again.
    qint64 latest = 0;
    for (const Entry &entry : m_entries)
        latest = std::max({latest, entry.stamp.modified, entry.stamp.changed});
    for (qint64 waited = 0;
         waited < longestSettle &&
         !FileStamp{.modified = latest, .changed = latest}.settledBefore(FileStamp::now());
         waited += 5'000'000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

    QByteArray text = magic + "\nwritten " + QByteArray::number(FileStamp::now()) + '\n';
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it) {
        const FileStamp &s = it->stamp;
        text += QUrl::toPercentEncoding(it.key()) + ' ' + QByteArray::number(s.size) + ' ' +
                QByteArray::number(s.modified) + ' ' + QByteArray::number(s.changed) + ' ' +
                QByteArray::number(s.device) + ' ' + QByteArray::number(s.file) + ' ' +
                it->sha256.toHex() + ' ' + (it->installed ? '1' : '0') + '\n';
    }
    text += "end " + digestOf(text) + '\n';
    QSaveFile file(cachePath());
    if (!(file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit())) {
        qCInfo(lcRun) << "the state cache cannot be written:" << file.errorString();
        return false;
    }
    return true;
}
