#pragma once

#include "download/Downloader.h"
#include "update/MirrorSet.h"
#include "update/StateCache.h"
#include "update/UpdateList.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class DeltaFile;
class RunLock;

// The update run: greeting, update list, last-update check and file update
// loop, with the run's one failure handler. It owns what it works on (the
// Downloader with its transfers, the four date and time fields, the bar's
// range and value, the cancelled record in init.ini) and tells its window by
// signals; it never sees a control.
//
// Re-entrancy. RetrieveUpdateList() is one long call on the window's thread
// that yields to the event loop (once after the greeting, once per pass of
// the check, once per file started, and while it waits for a hash or for
// the list). Inside a yield only these run: the Downloader's events
// (progress, error, complete), tick(), and cancel() or stop() from the
// window's buttons. Each of them reads the phase first and does nothing in
// a phase it has no business in; none of them yields. After cancel() or
// stop() the phase is Stopped, and the run unwinds at its next yield
// without logging, writing a profile or touching the network again.
class UpdateRun : public QObject
{
    Q_OBJECT
public:
    // Where the run stands. Changed only through setPhase(); every guard of
    // the run reads this one value.
    enum class Phase {
        Idle,          // created, not started
        Starting,      // lock, recovery of a journal, greeting
        CheckingList,  // the list arrives, the check runs its passes
        StartingFiles, // the file update loop starts the transfers
        Downloading,   // every file started; waiting for them to settle
        Ended,         // the update has ended, with or without files: Done
        Failed,        // the failure path (or another updater): box, then close
        Stopped,       // the window has closed: nothing more happens
    };
    Q_ENUM(Phase)

    explicit UpdateRun(QObject *parent = nullptr);
    ~UpdateRun() override;

    // The whole run; returns when the files have been started, when there is
    // nothing to update, after the failure path, or once the run was stopped.
    void RetrieveUpdateList();

    // Cancel: before the update has ended, records "Last Update Canceled"
    // in init.ini so that the update is offered again; then stops the run.
    void cancel();
    // The window has closed (Done, Cancel or the failure path): every
    // transfer goes, and a run waiting in a yield ends there.
    void stop();

    Phase phase() const { return m_phase; }

    // Repair: every listed file is hashed (what the state cache remembers
    // is not trusted) and every one that does not match is fetched again,
    // even when the list is the one recorded as installed.
    void setVerifyAll(bool verifyAll) { m_verifyAll = verifyAll; }

    // The Downloader that fetches the update list and the files.
    Downloader &Downloader2() { return *m_downloader2; }

    // The bar's range and value as single-precision numbers.
    float barMax() const { return m_barMax; }
    float barValue() const { return m_barValue; }

    // How long the check waits for an update list still in flight after its
    // last pass, counted from the start of the check.
    static constexpr int ListWaitMs = 60000;
    // Tests shorten the wait for a list that never finishes; 0 restores it.
    static void setListWaitForTesting(int ms);
    static constexpr int CheckPasses = 10500;
    // The most characters of the greeting that the status log shows.
    static constexpr qsizetype MaxGreetingLength = 64 * 1024;

    // Date and time of the last installed update and of the offered one,
    // loaded by the last-update check and compared by the run.
    QString LastUpdateDate;
    QString LastUpdateTime;
    QString NewUpdateDate;
    QString NewUpdateTime;

signals:
    // One line of the status log.
    void logLine(const QString &text);
    // The bar's range and value; the range always comes with the value, so
    // that the bar never holds a value against another transfer's range.
    void barChanged(float max, float value);
    // The caption under the bar.
    void progressText(const QString &text);
    // The update has ended: raised once.
    void ended();
    // The run cannot go on: the window shows the box and closes.
    void failed(const QString &text, const QString &title);
    // The Downloader refused a call: the window shows it as a warning box.
    void warning(const QString &text, const QString &title);

public slots:
    // The window's 1 s timer: a safety net that ends the update once the
    // files are started, the bar is full and no transfer is in flight.
    void tick();

private:
    // Thrown after a yield once the window has closed: the run unwinds at
    // once, silently, without touching the window, the profiles or the
    // network.
    struct Abandoned {
    };

    void setPhase(Phase phase);
    void CheckLastUpdate();
    void UpdateFiles();

    void yield();
    void waitUntil(const std::function<bool()> &settled, QDeadlineTimer deadline);
    void throwIfClosed() const;

    void recoverJournal();
    // init.ini missing, unreadable, or naming no Hello or no UpdateFileURL:
    // logs which, and throws UpdateFailure.
    void checkInitIni();
    // A signed list that arrived and was refused ends the run, once, with its
    // reason as the last line; true from then on.
    bool endIfListRefused();
    bool readingStep();
    // "No Files to Update": the closing block and the no-files exit of the check.
    void closingBlock();
    void showPassProgress(int pass);
    void setBarValue(float value);

    void hashInPlace(const QList<UpdateList::Entry> &entries);
    void startFile(const UpdateList::Entry &entry);
    bool copiedLocally(const UpdateList::Entry &entry, const QString &staged);
    void startDelta(const UpdateList::Entry &entry, const QString &staged);
    void fetchWhole(const UpdateList::Entry &entry, const QString &staged);
    void fileFailed(const QString &fileName, const char *why);
    void finishIfSettled();
    void commit();
    // The list's settings section as the commit is to write it: all of it
    // from a list that verifies; from an unsigned one only when it brings a
    // first PublicKey over https; nothing when a value is bad. Logged when refused.
    QMap<QString, QString> listSettings() const;

    // Mirrors: the bases named by init.ini (for the list) and by the list
    // (for its files), each "Mirrors" value refused whole when one of its
    // bases is not http(s).
    void addMirrors(const QString &value, const char *where);
    // Starts the read of a file below the first base in the mirror order it
    // has not been tried at; its own address when it lies below no base.
    void beginRead(const QString &key);
    // A read that failed for a reason another server may not share starts
    // again at the next base; false when there is none, or the read failed
    // through this machine.
    bool failOver(const QString &key, ReadFailure why);

    void downloadError(const QString &SaveFile);
    void downloadComplete(qint64 MaxBytes, const QString &SaveFile);
    void downloadProgress(qint64 CurBytes, qint64 MaxBytes, const QString &SaveFile);

    Phase m_phase = Phase::Idle;
    bool m_verifyAll = false;
    QPointer<Downloader> m_downloader2;
    // Held from the run's start until the window goes.
    std::unique_ptr<RunLock> m_lock;
    UpdateList m_list;
    const std::function<void(const std::function<bool()> &)> m_waitForever;
    float m_barMax = 100;
    float m_barValue = 0;

    // File transfers of this update still to settle: normalised target path
    // -> FileName.
    QHash<QString, QString> m_pendingFiles;
    QSet<QString> m_erroredTargets;
    // The commit's moves of this update: staging key -> target suffix, and
    // the SHA-256 each staged file is pinned to.
    QMap<QString, QString> m_moves;
    QHash<QString, QByteArray> m_pinned;
    // Files an earlier update installed that this list no longer names: the
    // commit removes them (paths below the program folder).
    QStringList m_removals;
    StateCache m_cache;
    MirrorSet m_mirrors;
    // A file's read across the bases: its listed address, what the body must
    // be, and the bases tried so far; by the key of m_pendingFiles.
    struct FileRead {
        QString url;
        QString staged;
        ReadExpectation expected;
        QStringList tried;
    };
    QHash<QString, FileRead> m_reads;
    QHash<QString, ReadFailure> m_failures;
    // Listed files already in place (by path below the program folder):
    // vouched for by the cache, or hashed.
    QSet<QString> m_inPlace;
    // Large files built from their chunks, and the servers that ignore Range.
    QList<DeltaFile *> m_deltas;
    QSet<QString> m_wholeOnly;
    // Staging folders this run has made real.
    QSet<QString> m_stagingFolders;
    int m_failedFiles = 0;
    // Listed files found already in place, staged or copied from the game's
    // own files: logged as one line before the update ends.
    int m_upToDate = 0;
    // "Date" and "Time" of the list whose files the loop started.
    QString m_recordDate;
    QString m_recordTime;
    // The signed timestamp of the list whose files the loop started.
    std::optional<qint64> m_listTimestamp;
    QMap<QString, QString> m_settings;
};
