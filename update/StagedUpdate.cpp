#include "update/StagedUpdate.h"

#include "download/KeptPartial.h"
#include "format/ListFormat.h"
#include "format/UpdaterFiles.h"
#include "profile/modTypes.h"
#include "system/DiskFlush.h"
#include "system/SystemFiles.h"
#include "update/DeltaFile.h"
#include "update/FileNameGuard.h"
#include "update/ProgramFolder.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace
{

using StagedUpdate::Blocked;
using StagedUpdate::Move;

const QString General = QStringLiteral("GENERAL");

// A journal is a few hundred bytes per file; one far larger is not ours.
constexpr qint64 longestJournal = 256 * 1024 * 1024;

std::function<void(const QString &, const QString &)> &trace()
{
    static std::function<void(const QString &, const QString &)> hook;
    return hook;
}

void traced(const char *call, const QString &path)
{
    if (trace())
        trace()(QLatin1String(call), path);
}

bool flush(const QString &path)
{
    traced("flush", path);
    return syncToDisk(path);
}

QString updatesFolder()
{
    return gamePath(UpdaterFiles::UpdatesFolder);
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

// The game file a move replaces; nothing when its target does not resolve
// below the program folder (a journal is a file anyone could have edited).
std::optional<QString> targetOf(const Move &move)
{
    const std::optional<QString> relative = FileNameGuard::relativeTarget(move.target);
    if (!relative)
        return std::nullopt;
    return gamePath(*relative);
}

QString shown(const Move &move)
{
    return QDir::toNativeSeparators(
        FileNameGuard::relativeTarget(move.target).value_or(move.target));
}

// The folders from the program folder down to the one that holds `target`,
// outermost first. Each must be a real folder or not exist yet: a file in the
// way cannot become a folder, and a link would carry the update elsewhere.
QStringList foldersDown(const QString &target)
{
    QStringList folders;
    const QString root = QDir(programFolder()).absolutePath();
    for (QString folder = QFileInfo(target).absolutePath(); folder.size() > root.size();
         folder = QFileInfo(folder).absolutePath())
        folders.prepend(folder);
    return folders;
}

} // namespace

QString StagedUpdate::targetProblem(const QString &target, QSet<QString> *realFolders)
{
    for (const QString &folder : foldersDown(target)) {
        if (realFolders && realFolders->contains(folder))
            continue;
        if (realFolders && SystemFiles::isRealFolder(folder)) {
            realFolders->insert(folder);
            continue;
        }
        const QFileInfo info(folder);
        if (info.exists() || info.isSymLink()) {
            if (!SystemFiles::isRealFolder(folder))
                return QStringLiteral("%1 is in the way of a folder")
                    .arg(QDir::toNativeSeparators(QDir(programFolder()).relativeFilePath(folder)));
        }
    }
    const QFileInfo info(target);
    if ((info.exists() || info.isSymLink()) && !SystemFiles::isRegularFile(target))
        return QStringLiteral("a folder or a link stands in its place");
    return {};
}

namespace
{

// Makes the missing folders of `target`, noting each one made in `made`.
bool makeFolders(const QString &target, QStringList &made, QString &failed)
{
    for (const QString &folder : foldersDown(target)) {
        if (SystemFiles::isRealFolder(folder))
            continue;
        if (!QDir().mkdir(folder)) {
            failed = folder;
            return false;
        }
        made.append(folder);
    }
    return true;
}

void removeFolders(const QStringList &made)
{
    for (auto folder = made.crbegin(); folder != made.crend(); ++folder)
        QDir().rmdir(*folder);
}

// One move of the commit. A move that already happened (the staged file gone,
// the target present) counts as done, so a commit can be run again after it
// was cut short.
bool apply(const Move &move, QSet<QString> &folders, QString &why)
{
    const QString staged = StagedUpdate::stagedPath(move.key);
    const std::optional<QString> target = targetOf(move);
    if (!target) {
        why = QStringLiteral("its target does not lie below the game folder");
        return false;
    }
    folders.insert(QFileInfo(*target).absolutePath());
    if (move.key.isEmpty()) {
        // A file the new list no longer names goes; one already gone is done.
        if (!QFileInfo::exists(*target))
            return true;
        traced("remove", *target);
        if (SystemFiles::isRegularFile(*target) && QFile::remove(*target))
            return true;
        why = SystemFiles::replaceBlocker(*target);
        if (why.isEmpty())
            why = QStringLiteral("it cannot be removed");
        return false;
    }
    if (!QFileInfo::exists(staged) && !QFileInfo(staged).isSymLink())
        return QFileInfo::exists(*target);
    if (!SystemFiles::isRegularFile(staged)) {
        why = QStringLiteral("its staged file is not a regular file");
        return false;
    }
    QStringList made;
    QString failedFolder;
    if (!StagedUpdate::targetProblem(*target).isEmpty() ||
        !makeFolders(*target, made, failedFolder)) {
        why = StagedUpdate::targetProblem(*target);
        if (why.isEmpty())
            why = QStringLiteral("the folder %1 cannot be made").arg(failedFolder);
        return false;
    }
    traced("rename", *target);
    if (FileNameGuard::isUpdaterProgram(*target)) {
        why = SystemFiles::replaceRunning(staged, *target);
        return why.isEmpty();
    }
    std::error_code error;
    // Replaces the old file in one step on the same volume.
    std::filesystem::rename(nativePath(staged), nativePath(*target), error);
    if (error) {
        why = SystemFiles::replaceBlocker(*target);
        if (why.isEmpty())
            why = QString::fromStdString(error.message());
    }
    return !error;
}

bool applyAll(const QList<Move> &moves, int exitAfter, QList<Blocked> &blocked)
{
    QSet<QString> folders;
    int done = 0;
    for (const Move &move : moves) {
        if (done == exitAfter)
            std::_Exit(70);
        QString why;
        if (!apply(move, folders, why)) {
            blocked.append({shown(move), why, true});
            return false;
        }
        ++done;
    }
    // The moves must be on the disk before the journal that names them goes.
    for (const QString &folder : folders)
        flush(folder);
    return true;
}

// Staged files arrive without a flush of their own (ReadExpectation::
// flushedLater): one flush of them all here, before the journal, takes the
// place of one per batch of arrivals. That is safe because a staged file
// matters only once a journal names it: a journal on the disk moves its
// staged files into the game unchecked, so they must be there first; before
// any journal, a staged file that a crash or power cut spoilt is reused only
// if it hashes to what the list pins, and is fetched again otherwise.
// flushFilesToDisk writes a file system back once where the system can (one
// journal commit for all the files) and each file elsewhere; the folders
// follow for the names the arrivals' renames gave.
bool flushStaged(const QList<Move> &moves)
{
    traced("flush", StagedUpdate::stagingFolder());
    QStringList files;
    QSet<QString> folders;
    for (const Move &move : moves) {
        if (move.key.isEmpty())
            continue;
        files.append(StagedUpdate::stagedPath(move.key));
        folders.insert(QFileInfo(files.back()).path());
    }
    bool flushed = flushFilesToDisk(files);
    for (const QString &folder : folders)
        flushed = syncToDisk(folder) && flushed;
    return flushed;
}

// The record in init.ini; empty, or why it could not be written.
QString writeRecord(const StagedUpdate::Record &record)
{
    WriteResult written;
    for (auto it = record.settings.cbegin(); written && it != record.settings.cend(); ++it)
        written = WriteIni(initIniPath(), General, it.key(), it.value());
    if (written && record.listTimestamp)
        written = WriteIni(initIniPath(), General, QStringLiteral("ListTimestamp"),
                           QString::number(*record.listTimestamp));
    if (written)
        written = WriteIni(initIniPath(), General, QStringLiteral("LastUpdate"), record.date);
    if (written)
        written = WriteIni(initIniPath(), General, QStringLiteral("LastUpdateTime"), record.time);
    return written.error;
}

void removeStaging()
{
    const QString staging = StagedUpdate::stagingFolder();
    // A link in the staging folder's place goes itself; what it points to
    // is never touched.
    if (SystemFiles::isRealFolder(staging))
        QDir(staging).removeRecursively();
    else
        QFile::remove(staging);
}

// The staging folder goes before the journal: a crash between the two leaves
// a journal whose moves are all recognised as done, never a staging folder
// that no journal and no update will ever clear.
void removeJournalAndStaging()
{
    removeStaging();
    QFile::remove(StagedUpdate::journalPath());
    flush(updatesFolder());
}

QByteArray readJournal()
{
    QFile file(StagedUpdate::journalPath());
    return file.open(QIODevice::ReadOnly) ? file.read(longestJournal) : QByteArray();
}

QByteArray journalText(const StagedUpdate::Record &record, const QList<Move> &moves)
{
    QJsonArray list;
    for (const Move &move : moves)
        list.append(QJsonObject{{QStringLiteral("staged"), move.key},
                                {QStringLiteral("target"), move.target}});
    QJsonObject journal{{QStringLiteral("LastUpdate"), record.date},
                        {QStringLiteral("LastUpdateTime"), record.time},
                        {QStringLiteral("moves"), list}};
    if (record.listTimestamp)
        journal.insert(QStringLiteral("ListTimestamp"), QString::number(*record.listTimestamp));
    QJsonObject settings;
    for (auto it = record.settings.cbegin(); it != record.settings.cend(); ++it)
        settings.insert(it.key(), it.value());
    journal.insert(QLatin1String(ListFormat::Settings), settings);
    return QJsonDocument(journal).toJson(QJsonDocument::Compact);
}

// A journal as this program writes it: a regular file, readable, every move
// staying below the program folder and clear of the updater's own files.
struct Journal {
    StagedUpdate::Record record;
    QList<Move> moves;
};

std::optional<Journal> parseJournal(QString &why)
{
    const QString path = StagedUpdate::journalPath();
    if (!SystemFiles::isRegularFile(path)) {
        why = QStringLiteral("the journal is not a regular file");
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > longestJournal) {
        why = QStringLiteral("the journal cannot be read: ") + file.errorString();
        return std::nullopt;
    }
    QJsonParseError error;
    const QJsonObject object = QJsonDocument::fromJson(file.readAll(), &error).object();
    Journal journal{{object.value(QStringLiteral("LastUpdate")).toString(),
                     object.value(QStringLiteral("LastUpdateTime")).toString(),
                     std::nullopt,
                     {}},
                    {}};
    bool numeric = false;
    const qint64 timestamp =
        object.value(QStringLiteral("ListTimestamp")).toString().toLongLong(&numeric);
    if (numeric)
        journal.record.listTimestamp = timestamp;
    bool readable =
        error.error == QJsonParseError::NoError && object.value(QStringLiteral("moves")).isArray();
    // Settings are checked again: an edited journal must not point the
    // player at a server or a key no list vouched for in this form.
    const QJsonObject settings = object.value(QLatin1String(ListFormat::Settings)).toObject();
    for (auto it = settings.constBegin(); it != settings.constEnd(); ++it) {
        readable = readable && it->isString() &&
                   ListFormat::settingProblem(it.key(), it->toString()).isEmpty();
        journal.record.settings.insert(it.key(), it->toString());
    }
    for (const QJsonValue &value : object.value(QStringLiteral("moves")).toArray()) {
        const Move move{value[QStringLiteral("staged")].toString(),
                        value[QStringLiteral("target")].toString()};
        // The journal lies in the player's folder: it still may not move a
        // file out of the game or onto the updater's own files.
        const std::optional<QString> target = targetOf(move);
        readable =
            readable && target && FileNameGuard::staysInside(move.key) &&
            (move.key.isEmpty() || move.key == StagedUpdate::stagingKey(move.target)) &&
            (!FileNameGuard::isProtected(*target) || FileNameGuard::isUpdaterProgram(*target));
        journal.moves.append(move);
    }
    if (!readable) {
        why = QStringLiteral("the journal is damaged or names a file outside the game");
        return std::nullopt;
    }
    return journal;
}

// Keeps a damaged journal for the publisher to look at, under a name no
// start reads again.
QString setAside()
{
    const QDir updates = QFileInfo(StagedUpdate::journalPath()).dir();
    for (int n = 1; n <= 100; ++n) {
        const QString name = QFileInfo(UpdaterFiles::DamagedJournal).fileName() +
                             (n > 1 ? QLatin1Char('-') + QString::number(n) : QString());
        if (QFileInfo::exists(updates.filePath(name)) ||
            QFileInfo(updates.filePath(name)).isSymLink())
            continue;
        if (QDir().rename(StagedUpdate::journalPath(), updates.filePath(name)))
            return name;
        break;
    }
    // Kept where it is, it would stop every start: it goes.
    if (!QFile::remove(StagedUpdate::journalPath()))
        QDir(StagedUpdate::journalPath()).removeRecursively();
    return {};
}

QString targetKey(const Move &move)
{
    return FileNameGuard::normalised(move.target);
}

bool replacesUpdater(const QList<Move> &moves)
{
    return std::any_of(moves.cbegin(), moves.cend(), [](const Move &move) {
        const std::optional<QString> target = targetOf(move);
        return !move.key.isEmpty() && target && FileNameGuard::isUpdaterProgram(*target);
    });
}

const QString UpdaterReplacedLine =
    QStringLiteral("The updater was updated; the new version runs from the next start.");

} // namespace

QString StagedUpdate::Blocked::line() const
{
    // What to do comes with it when the game may hold the file.
    return QStringLiteral("Cannot replace ") + file + QStringLiteral(": ") + why +
           (inUse ? QStringLiteral(". Close the game, then start the updater again.")
                  : QStringLiteral("."));
}

QStringList StagedUpdate::CommitResult::logLines() const
{
    QStringList lines;
    for (const StagedUpdate::Blocked &target : blocked)
        lines << target.line();
    if (updaterReplaced)
        lines << UpdaterReplacedLine;
    lines << QStringLiteral("Finished.......");
    if (outcome == Outcome::Committed)
        lines << QStringLiteral("Update Complete");
    else if (outcome == Outcome::NothingMoved && !blocked.isEmpty())
        lines << QString::number(blocked.size()) +
                     QStringLiteral(" Files Failed, Update Will Be Offered Again");
    else
        lines << QStringLiteral("Update Not Recorded, Update Will Be Offered Again");
    return lines;
}

QStringList StagedUpdate::Recovery::logLines() const
{
    QStringList lines;
    for (const StagedUpdate::Blocked &target : blocked)
        lines << target.line();
    if (updaterReplaced)
        lines << UpdaterReplacedLine;
    if (kind == SetAside)
        lines << QStringLiteral("A damaged update journal was set aside") +
                     (setAsideAs.isEmpty()
                          ? QStringLiteral(".")
                          : QStringLiteral(" as ") + setAsideAs + QLatin1Char('.'));
    return lines;
}

QString StagedUpdate::stagingFolder()
{
    return gamePath(UpdaterFiles::StagingFolder);
}

QString StagedUpdate::journalPath()
{
    return gamePath(UpdaterFiles::Journal);
}

QString StagedUpdate::stagingKey(const QString &suffix)
{
    const std::optional<QString> relative = FileNameGuard::relativeTarget(suffix);
    return relative ? FileNameGuard::normalised(*relative) : QString();
}

QString StagedUpdate::stagedPath(const QString &key)
{
    return stagingFolder() + QLatin1Char('/') + key;
}

bool StagedUpdate::makeStagingFolders(const QString &key, QSet<QString> *made)
{
    QString folder = updatesFolder();
    const QStringList parts = (QStringLiteral("staging/") + key).split(QLatin1Char('/'));
    for (qsizetype n = 0; n + 1 < parts.size(); ++n) {
        folder += QLatin1Char('/') + parts[n];
        if (made && made->contains(folder))
            continue;
        if (!SystemFiles::isRealFolder(folder)) {
            const QFileInfo info(folder);
            if ((info.exists() || info.isSymLink()) && !QFile::remove(folder))
                return false;
            if (!QDir().mkdir(folder))
                return false;
        }
        if (made)
            made->insert(folder);
    }
    return true;
}

void StagedUpdate::setTraceForTesting(std::function<void(const QString &, const QString &)> hook)
{
    trace() = std::move(hook);
}

QSet<QString> StagedUpdate::pendingKeys()
{
    QSet<QString> keys;
    QString why;
    if (QFileInfo::exists(journalPath())) {
        if (const std::optional<Journal> journal = parseJournal(why))
            for (const Move &move : journal->moves)
                keys.insert(move.key);
    }
    return keys;
}

StagedUpdate::CommitResult StagedUpdate::commit(const Record &record, const QList<Move> &newMoves)
{
    CommitResult result;
    QList<Move> moves = newMoves;
    // A journal left by a commit that a file in use stopped: its moves that
    // this update does not supersede are finished with it.
    QString ignored;
    if (QFileInfo::exists(journalPath())) {
        if (const std::optional<Journal> left = parseJournal(ignored)) {
            QSet<QString> superseded;
            for (const Move &move : newMoves)
                superseded.insert(targetKey(move));
            for (const Move &move : left->moves)
                if (!superseded.contains(targetKey(move)) &&
                    (move.key.isEmpty() || SystemFiles::isRegularFile(stagedPath(move.key))))
                    moves.append(move);
        }
    }

    // Every target is checked before anything is made or moved: a commit
    // that stopped halfway would leave the game half new.
    for (const Move &move : moves) {
        const std::optional<QString> target = targetOf(move);
        QString why;
        if (!target)
            why = QStringLiteral("it does not lie below the game folder");
        else if (!move.key.isEmpty() && !SystemFiles::isRegularFile(stagedPath(move.key)))
            why = QStringLiteral("its staged file is not a regular file");
        else
            why = StagedUpdate::targetProblem(*target);
        if (!why.isEmpty())
            result.blocked.append({shown(move), why, false});
    }
    QStringList made;
    if (result.blocked.isEmpty()) {
        for (const Move &move : moves) {
            QString failed;
            if (!move.key.isEmpty() && !makeFolders(*targetOf(move), made, failed)) {
                result.blocked.append({shown(move),
                                       QStringLiteral("the folder %1 cannot be made")
                                           .arg(QDir::toNativeSeparators(
                                               QDir(programFolder()).relativeFilePath(failed))),
                                       false});
                break;
            }
        }
    }
    if (result.blocked.isEmpty()) {
        for (const Move &move : moves) {
            const QString why = SystemFiles::replaceBlocker(*targetOf(move));
            if (!why.isEmpty())
                result.blocked.append({shown(move), why, true});
        }
    }
    if (!result.blocked.isEmpty()) {
        removeFolders(made);
        result.outcome = Outcome::NothingMoved;
        result.reason = QStringLiteral("a target cannot be replaced: ") +
                        result.blocked.first().file + QStringLiteral(": ") +
                        result.blocked.first().why;
        return result;
    }
    if (!flushStaged(moves)) {
        result.reason = QStringLiteral("the staged files did not reach the disk");
        removeFolders(made);
        result.outcome = Outcome::NothingMoved;
        return result;
    }
    {
        QSaveFile journal(journalPath());
        const QByteArray text = journalText(record, moves);
        // Read back: a full disk may take the write and still keep nothing
        // of it, and a commit that trusted it would have no journal to
        // finish from.
        const bool written = journal.open(QIODevice::WriteOnly) &&
                             journal.write(text) == text.size() && journal.commit();
        if (!written || !flush(journalPath()) || !flush(updatesFolder()) || readJournal() != text) {
            result.reason =
                written ? QStringLiteral("the journal did not reach the disk whole")
                        : QStringLiteral("the journal cannot be written: ") + journal.errorString();
            // Nothing has moved yet: a journal that may not be on the disk
            // must not outlive this run.
            QFile::remove(journalPath());
            removeFolders(made);
            result.outcome = Outcome::NothingMoved;
            return result;
        }
    }
    if (!applyAll(moves, exitAfterMoves(), result.blocked)) {
        result.outcome = Outcome::Unfinished;
        result.reason = QStringLiteral("a move failed: ") + result.blocked.first().file +
                        QStringLiteral(": ") + result.blocked.first().why;
        return result;
    }
    if (const QString why = writeRecord(record); !why.isEmpty()) {
        result.outcome = Outcome::Unfinished;
        result.reason = QStringLiteral("the record cannot be written: ") + why;
        return result;
    }
    removeJournalAndStaging();
    result.updaterReplaced = replacesUpdater(moves);
    return result;
}

StagedUpdate::Recovery StagedUpdate::recover()
{
    Recovery recovery;
    // What an earlier commit set aside of the updater is not running now.
    SystemFiles::removeSetAside(programFolder());
    const QFileInfo info(journalPath());
    if (!info.exists() && !info.isSymLink())
        return recovery;
    std::optional<Journal> journal = parseJournal(recovery.reason);
    if (!journal) {
        recovery.kind = Recovery::SetAside;
        recovery.setAsideAs = setAside();
        return recovery;
    }
    recovery.kind = Recovery::Finished;
    // A move whose staged file and target are both gone (removed by hand),
    // or whose staged file was replaced by anything but a regular file,
    // cannot be finished: the update is not recorded, so it is offered
    // again, and what is still staged is reused then.
    for (const Move &move : journal->moves) {
        if (move.key.isEmpty())
            continue;
        const QString staged = stagedPath(move.key);
        const QFileInfo stagedInfo(staged);
        const bool stagedThere = stagedInfo.exists() || stagedInfo.isSymLink();
        if ((stagedThere && !SystemFiles::isRegularFile(staged)) ||
            (!stagedThere && !QFileInfo::exists(*targetOf(move)))) {
            if (stagedThere)
                QFile::remove(staged);
            QFile::remove(journalPath());
            recovery.reason = QStringLiteral("a staged file of the journal is gone");
            return recovery;
        }
    }
    if (!applyAll(journal->moves, -1, recovery.blocked)) {
        recovery.kind = Recovery::Blocked;
        return recovery;
    }
    // A record that cannot be written (a read-only init.ini) leaves the
    // update to be offered again; its files are in place and found up to
    // date then.
    recovery.reason = writeRecord(journal->record);
    recovery.updaterReplaced = replacesUpdater(journal->moves);
    removeJournalAndStaging();
    return recovery;
}

void StagedUpdate::removeUnnamed(const QSet<QString> &keys)
{
    const QString stagingPath = stagingFolder();
    if (!SystemFiles::isRealFolder(stagingPath)) {
        QFile::remove(stagingPath);
        return;
    }
    const QDir staging(stagingPath);
    // Never FollowSymlinks: a link inside goes itself, never what it names.
    QDirIterator it(staging.path(), QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    // The part of a named file kept by a read cut short stays too, for the
    // next read of it to continue; a kept part of any other file goes.
    QSet<QString> kept = keys + pendingKeys();
    for (const QString &key : keys) {
        kept.insert(KeptPartial::bodyPath(key));
        kept.insert(KeptPartial::metaPath(key));
        for (const QString &path : DeltaFile::keptFiles(key))
            kept.insert(path);
    }
    while (it.hasNext()) {
        const QString path = it.next();
        if (!kept.contains(staging.relativeFilePath(path)) || !SystemFiles::isRegularFile(path))
            QFile::remove(path);
    }
}
