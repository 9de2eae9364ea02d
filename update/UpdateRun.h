#pragma once

#include "download/Downloader.h"
#include "update/ExpectedFile.h"

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

class RunLock;

// The update run: greeting, update list, last-update check and file update
// loop, with the run's one failure handler. It owns what it works on (the
// Downloader with its transfers, the four date and time fields, the bar's
// range and value) and tells its window by signals; it never sees a control.
class UpdateRun : public QObject
{
    Q_OBJECT
public:
    explicit UpdateRun(QObject *parent = nullptr);
    ~UpdateRun() override;

    // The whole run; returns when the files have been started, when there is
    // nothing to update, after the failure path, or once the run was stopped.
    void RetrieveUpdateList();

    // Called on their own (outside RetrieveUpdateList) they end quietly once
    // the run has been stopped; an UpdateFailure passes to the caller.
    void CheckLastUpdate();
    void UpdateFiles();

    // The window has closed (Cancel, Done or the failure path): every transfer
    // goes, and a run waiting in a yield ends there without logging, writing
    // a profile or touching the network again.
    void stop();
    bool stopped() const { return m_stopped; }

    // The Downloader that fetches the update list and the files.
    Downloader &Downloader2() { return *m_downloader2; }

    // The bar's range and value as single-precision numbers.
    float barMax() const { return m_barMax; }
    float barValue() const { return m_barValue; }

    // True from the moment the update has ended, with or without files.
    bool hasEnded() const { return m_ended; }

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
    // The window's 1 s timer: a safety net that ends the update once the run
    // has returned, the bar is full and no transfer is in flight.
    void tick();

private:
    // Thrown after a yield once the window has closed: the run ends at once,
    // silently, without touching the window, the profiles or the network.
    struct Abandoned {
    };

    template <typename Steps> void runOnItsOwn(Steps steps);
    void checkLastUpdateSteps();
    void updateFilesSteps();

    void yield();
    void waitUntil(const std::function<bool()> &settled, QDeadlineTimer deadline);
    void throwIfClosed() const;
    void connectDownloader();

    bool listSettled();
    bool readingStep();
    // "No Files to Update": the closing block and the no-files exit of the check.
    void closingBlock();
    void showPassProgress(int pass);
    void setBarValue(float value);
    // The one place that decides that the update has ended.
    void end();

    void startFile(const QString &url, const QString &savePath, const QString &fileName,
                   const ExpectedFile &expected);
    // A publisher's key in init.ini: the list must carry its signature.
    bool isSigned() const;
    QString recordedListTimestamp() const;
    // "Failed to download updates.ini", once per run; `why` goes to the
    // updater.run logging category every time.
    void listFailed(const char *why);
    void dropList();
    // The file is what `expected` pins (Size and SHA256 both given).
    bool matches(const QString &path, const ExpectedFile &expected);
    void fileFailed(const QString &fileName, const char *why);
    void finishIfSettled();

    void downloadError(const QString &SaveFile);
    void downloadComplete(qint64 MaxBytes, const QString &SaveFile);
    void downloadProgress(qint64 CurBytes, qint64 MaxBytes, const QString &SaveFile);

    QPointer<Downloader> m_downloader2;
    // Held from the run's start until the window goes.
    std::unique_ptr<RunLock> m_lock;
    bool m_connected = false;
    bool m_abandoned = false;
    bool m_inRun = false;
    bool m_stopped = false;
    bool m_runReturned = false;
    bool m_ended = false;
    float m_barMax = 100;
    float m_barValue = 0;

    // File transfers of this update still to settle: normalised target path
    // -> FileName.
    QHash<QString, QString> m_pendingFiles;
    QSet<QString> m_erroredTargets;
    // The commit's moves of this update: staging key -> target suffix.
    QMap<QString, QString> m_moves;
    bool m_listRequested = false;
    bool m_listErrored = false;
    int m_failedFiles = 0;
    bool m_allFilesStarted = false;
    bool m_finished = false;
    // "Date" and "Time" of the list whose files the loop started.
    QString m_recordDate;
    QString m_recordTime;
    // "PublicKey" of init.ini; empty for a list that is not signed.
    QString m_publicKey;
    bool m_listChecked = false;
    bool m_listFailureShown = false;
    // The signed timestamp of the list whose files the loop started.
    std::optional<qint64> m_listTimestamp;
};
