#include "update/StagedUpdate.h"

#include "download/KeptPartial.h"
#include "profile/modTypes.h"
#include "update/DiskSync.h"
#include "update/FileNameGuard.h"
#include "update/ProgramFolder.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace
{

const QString General = QStringLiteral("GENERAL");

QString updatesFolder()
{
    return programPath(QStringLiteral("\\updates"));
}

std::filesystem::path nativePath(const QString &path)
{
    return std::filesystem::path(path.toStdU16String());
}

// Tests stop the program after this many moves of a commit (not of the
// recovery that finishes it), to leave the journal exactly as a kill at that
// moment would.
int exitAfterMoves()
{
    bool set = false;
    const int moves = qEnvironmentVariableIntValue("UPDATER_EXIT_AFTER_MOVES", &set);
    return set ? moves : -1;
}

// One move of the commit. A move that already happened (the staged file gone,
// the target present) counts as done, so a commit can be run again after it
// was cut short.
bool apply(const StagedUpdate::Move &move, QSet<QString> &folders)
{
    const QString staged = StagedUpdate::stagedPath(move.key);
    const QString target = programPath(move.target);
    const QString folder = QFileInfo(target).absolutePath();
    folders.insert(folder);
    if (!QFileInfo::exists(staged))
        return QFileInfo::exists(target);
    if (!QDir().mkpath(folder))
        return false;
    std::error_code error;
    // Replaces the old file in one step on the same volume.
    std::filesystem::rename(nativePath(staged), nativePath(target), error);
    return !error;
}

bool applyAll(const QList<StagedUpdate::Move> &moves, int exitAfter)
{
    QSet<QString> folders;
    int done = 0;
    for (const StagedUpdate::Move &move : moves) {
        if (done == exitAfter)
            std::_Exit(70);
        if (!apply(move, folders))
            return false;
        ++done;
    }
    // The moves must be on the disk before the journal that names them goes.
    for (const QString &folder : folders)
        syncToDisk(folder);
    return true;
}

bool writeRecord(const StagedUpdate::Record &record)
{
    return (!record.listTimestamp ||
            WriteIni(initIniPath(), General, QStringLiteral("ListTimestamp"),
                     QString::number(*record.listTimestamp))) &&
           WriteIni(initIniPath(), General, QStringLiteral("LastUpdate"), record.date) &&
           WriteIni(initIniPath(), General, QStringLiteral("LastUpdateTime"), record.time);
}

// The staging folder goes before the journal: a crash between the two leaves
// a journal whose moves are all recognised as done, never a staging folder
// that no journal and no update will ever clear.
void removeJournalAndStaging()
{
    QDir(StagedUpdate::stagingFolder()).removeRecursively();
    QFile::remove(StagedUpdate::journalPath());
    syncToDisk(updatesFolder());
}

QByteArray readJournal()
{
    QFile file(StagedUpdate::journalPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray journalText(const StagedUpdate::Record &record, const QList<StagedUpdate::Move> &moves)
{
    QJsonArray list;
    for (const StagedUpdate::Move &move : moves)
        list.append(QJsonObject{{QStringLiteral("staged"), move.key},
                                {QStringLiteral("target"), move.target}});
    QJsonObject journal{{QStringLiteral("LastUpdate"), record.date},
                        {QStringLiteral("LastUpdateTime"), record.time},
                        {QStringLiteral("moves"), list}};
    if (record.listTimestamp)
        journal.insert(QStringLiteral("ListTimestamp"), QString::number(*record.listTimestamp));
    return QJsonDocument(journal).toJson(QJsonDocument::Compact);
}

} // namespace

QString StagedUpdate::stagingFolder()
{
    return programPath(QStringLiteral("\\updates\\staging"));
}

QString StagedUpdate::journalPath()
{
    return programPath(QStringLiteral("\\updates\\update.journal"));
}

QString StagedUpdate::stagingKey(const QString &suffix)
{
    QString key = FileNameGuard::normalised(suffix);
    if (key.startsWith(QLatin1Char('/')))
        key.remove(0, 1);
    return key;
}

QString StagedUpdate::stagedPath(const QString &key)
{
    return stagingFolder() + QLatin1Char('/') + key;
}

StagedUpdate::Outcome StagedUpdate::commit(const Record &record, const QList<Move> &moves)
{
    // Folders first: one that cannot be made fails the update before
    // anything has moved.
    for (const Move &move : moves) {
        if (!QDir().mkpath(QFileInfo(programPath(move.target)).absolutePath()))
            return Outcome::NothingMoved;
    }
    {
        QSaveFile journal(journalPath());
        const QByteArray text = journalText(record, moves);
        // Read back: a full disk may take the write and still keep nothing
        // of it, and a commit that trusted it would have no journal to
        // finish from.
        if (!journal.open(QIODevice::WriteOnly) || journal.write(text) != text.size() ||
            !journal.commit() || !syncToDisk(journalPath()) || !syncToDisk(updatesFolder()) ||
            readJournal() != text) {
            // Nothing has moved yet: a journal that may not be on the disk
            // must not outlive this run.
            QFile::remove(journalPath());
            return Outcome::NothingMoved;
        }
    }
    if (!applyAll(moves, exitAfterMoves()) || !writeRecord(record))
        return Outcome::Unfinished;
    removeJournalAndStaging();
    return Outcome::Committed;
}

bool StagedUpdate::recover()
{
    QFile file(journalPath());
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject journal = QJsonDocument::fromJson(file.readAll()).object();
    file.close();
    Record record{journal.value(QStringLiteral("LastUpdate")).toString(),
                  journal.value(QStringLiteral("LastUpdateTime")).toString(), std::nullopt};
    bool numeric = false;
    const qint64 timestamp =
        journal.value(QStringLiteral("ListTimestamp")).toString().toLongLong(&numeric);
    if (numeric)
        record.listTimestamp = timestamp;
    QList<Move> moves;
    bool readable = journal.value(QStringLiteral("moves")).isArray();
    for (const QJsonValue &value : journal.value(QStringLiteral("moves")).toArray()) {
        const Move move{value[QStringLiteral("staged")].toString(),
                        value[QStringLiteral("target")].toString()};
        // The journal lies in the player's folder: it still may not move a
        // file out of the game or onto the profiles.
        readable = readable && !move.key.isEmpty() && FileNameGuard::staysInside(move.key) &&
                   FileNameGuard::staysInside(move.target) &&
                   !FileNameGuard::isProtected(programPath(move.target));
        moves.append(move);
    }
    if (!readable) {
        // Not a journal this program wrote whole (a power cut before it was
        // on the disk): nothing in it can be trusted, and nothing has moved.
        QFile::remove(journalPath());
        return true;
    }
    // A move whose staged file and target are both gone (removed by hand)
    // cannot be finished: the update is not recorded, so it is offered
    // again, and what is still staged is reused then.
    for (const Move &move : moves) {
        if (!QFileInfo::exists(stagedPath(move.key)) &&
            !QFileInfo::exists(programPath(move.target))) {
            QFile::remove(journalPath());
            return true;
        }
    }
    if (!applyAll(moves, -1))
        return false;
    // A record that cannot be written (a read-only init.ini) leaves the
    // update to be offered again; its files are in place and found up to
    // date then.
    writeRecord(record);
    removeJournalAndStaging();
    return true;
}

void StagedUpdate::removeUnnamed(const QSet<QString> &keys)
{
    const QDir staging(stagingFolder());
    QDirIterator it(staging.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    // The part of a named file kept by a read cut short stays too, for the
    // next read of it to continue; a kept part of any other file goes.
    QSet<QString> kept = keys;
    for (const QString &key : keys) {
        kept.insert(KeptPartial::bodyPath(key));
        kept.insert(KeptPartial::metaPath(key));
    }
    while (it.hasNext()) {
        const QString path = it.next();
        if (!kept.contains(staging.relativeFilePath(path)))
            QFile::remove(path);
    }
}
