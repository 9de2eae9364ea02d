#pragma once

#include <QList>
#include <QSet>
#include <QString>
#include <optional>

// An update is installed whole or not at all. Its files arrive in a staging
// folder inside updates/ (the game's own volume, so that a rename is one
// atomic step), and only once every file has arrived does the commit move
// them into place. A journal written to the disk before the first move names
// every move and the update's record, so that a commit cut short by a crash,
// a kill or a power cut is finished at the next start instead of leaving the
// game half old and half new.
namespace StagedUpdate
{

QString stagingFolder();
QString journalPath();

// The staging key of a "SavePath" + "\" + "FileName" suffix: one text for
// every spelling of one target, empty when the suffix names no file.
QString stagingKey(const QString &suffix);
QString stagedPath(const QString &key);

// What the commit records in init.ini once the files are in place.
struct Record {
    QString date;
    QString time;
    std::optional<qint64> listTimestamp;
};

struct Move {
    QString key;    // staged file, see stagingKey
    QString target; // "SavePath" + "\" + "FileName", below the program folder
};

enum class Outcome {
    Committed,    // every file in place, the update recorded
    NothingMoved, // the journal could not be written: the game is as it was
    Unfinished,   // cut short after the journal: the next start finishes it
};

Outcome commit(const Record &record, const QList<Move> &moves);

// Finishes the commit a journal names, if one is left. False when a file
// still cannot be moved into place; the journal then stays for the next
// start.
bool recover();

// Removes staged files whose key is not in `keys`: leftovers of an update
// that is no longer offered.
void removeUnnamed(const QSet<QString> &keys);

} // namespace StagedUpdate
