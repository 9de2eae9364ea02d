#pragma once

#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// An update is installed whole or not at all. Its files arrive in a staging
// folder inside updates/ (the game's own volume, so that a rename is one
// atomic step), and only once every file has arrived does the commit move
// them into place. A journal written to the disk before the first move names
// every move and the update's record, so that a commit cut short by a crash,
// a kill or a power cut is finished at the next start instead of leaving the
// game half old and half new.
//
// Nothing below updates/ is trusted to be what this program left there: a
// link is never followed, and only regular files are reused, hashed or moved.
namespace StagedUpdate
{

QString stagingFolder();
QString journalPath();

// The staging key of a "SavePath" + "\" + "FileName" suffix: one text for
// every spelling of one target on Windows, empty when the suffix names no
// file below the program folder.
QString stagingKey(const QString &suffix);
QString stagedPath(const QString &key);

// Makes the staging folder, and the folders below it that the staged file of
// `key` lies in, real folders: a link or a file in the way is removed (never
// followed) and a folder made. False when that cannot be done.
// `made`, when given, holds the folders this run already made real.
bool makeStagingFolders(const QString &key, QSet<QString> *made = nullptr);

// What stands in the way of putting a file at `target` (a path below the
// program folder): a file or a link where a folder must be, or a folder or
// a link in the file's place; empty when nothing does. Names what is in the
// way. Changes nothing.
// `realFolders`, when given, holds folders already found real, and gains
// those found now: a list of thousands of files in a few folders looks at
// each folder once.
QString targetProblem(const QString &target, QSet<QString> *realFolders = nullptr);

// What the commit records in init.ini once the files are in place.
struct Record {
    QString date;
    QString time;
    std::optional<qint64> listTimestamp;
    // Settings a signed list moves its players with (ListFormat::Settings),
    // checked: written with the record, and journaled with it, so that a
    // kill never leaves init.ini half moved to a new host or key.
    QMap<QString, QString> settings;
};

// One step of a commit: a staged file put in its target's place, or, with
// an empty key, a file an earlier update installed removed from the game.
struct Move {
    QString key;    // staged file, see stagingKey; empty: remove the target
    QString target; // "SavePath" + "\" + "FileName", below the program folder
};

// A target that cannot be replaced: its path below the program folder, in
// the platform's spelling, and why, in words a player can act on.
struct Blocked {
    QString file;
    QString why;
    // The file is held by another program (the game) or locked: closing
    // the game may free it.
    bool inUse = false;
    // The line the status log shows for it.
    QString line() const;
};

enum class Outcome {
    Committed,    // every file in place, the update recorded
    NothingMoved, // a target cannot be replaced, or the journal could not be
                  // written: the game is as it was
    Unfinished,   // cut short after the journal: the next start finishes it
};

struct CommitResult {
    Outcome outcome = Outcome::Committed;
    // Targets that stopped the commit before or during its moves.
    QList<Blocked> blocked;
    // Which step failed and the system's word for it, for the log category.
    QString reason;
    // The commit put a new updater in place: it runs from the next start.
    bool updaterReplaced = false;
    // What the status log says of it: the blocked targets, then
    // "Finished......." and how the update ended.
    QStringList logLines() const;
};

// Checks every target first (a regular file or none, its folders real and
// makable, the file replaceable) and moves nothing unless all pass; folders
// made for the update go again if it stops there. The moves of a journal
// left by an earlier commit that could not finish, and not superseded by
// `moves`, are finished by this commit too.
CommitResult commit(const Record &record, const QList<Move> &moves);

struct Recovery {
    enum Kind {
        None,     // no journal
        Finished, // the journal's commit was finished (or could not be and was dropped)
        Blocked,  // a target cannot be replaced yet: the journal stays
        SetAside, // a damaged journal, renamed to `setAsideAs` for the publisher
    } kind = None;
    QList<StagedUpdate::Blocked> blocked;
    QString setAsideAs;
    QString reason;
    bool updaterReplaced = false;
    // What the status log says of it before the greeting.
    QStringList logLines() const;
};

// Finishes the commit a journal names, if one is left.
Recovery recover();

// Staging keys of the moves a journal left unfinished names: their staged
// files wait for a commit to finish them and must not be cleared away.
QSet<QString> pendingKeys();

// Removes staged files whose key is not in `keys` and leftovers of an update
// that is no longer offered; a staging folder that is a link goes (the link
// itself).
void removeUnnamed(const QSet<QString> &keys);

// Tests see every flush and rename of the commit, in order, as (call, path);
// the hook may change the files before the step it names runs. An empty
// function removes it.
void setTraceForTesting(std::function<void(const QString &call, const QString &path)> trace);

} // namespace StagedUpdate
