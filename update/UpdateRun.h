#pragma once

#include "update/ExpectedFile.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class RunLock;
class UpdateWindow;

// The update run: greeting, update list, last-update check and file update
// loop, with the run's one failure handler.
class UpdateRun : public QObject
{
    Q_OBJECT
public:
    explicit UpdateRun(UpdateWindow &window, QObject *parent = nullptr);
    ~UpdateRun() override;

    // The whole run; returns when the files have been started, when there is
    // nothing to update, after the failure path, or once the window has closed.
    void RetrieveUpdateList();

    // Called on their own (outside RetrieveUpdateList) they end quietly once
    // the window has closed; an UpdateFailure passes to the caller.
    void CheckLastUpdate();
    void UpdateFiles();

    // How long the check waits for an update list still in flight after its
    // last pass, counted from the start of the check.
    static constexpr int ListWaitMs = 60000;
    static constexpr int CheckPasses = 10500;
    // The most characters of the greeting that the status log shows.
    static constexpr qsizetype MaxGreetingLength = 64 * 1024;

private:
    // Thrown after a yield once the window has closed: the run ends at once,
    // silently, without touching the window, the profiles or the network.
    struct Abandoned {
    };

    template <typename Steps> void RunOnItsOwn(Steps steps);
    void CheckLastUpdateSteps();
    void UpdateFilesSteps();

    void Yield();
    void WaitUntil(const std::function<bool()> &settled, QDeadlineTimer deadline);
    void ThrowIfClosed() const;
    void ConnectDownloader();

    bool ListSettled();
    bool ReadingStep();
    // "No Files to Update": the closing block and the no-files exit of the check.
    void ClosingBlock();
    void ShowPassProgress(int pass);

    void StartFile(const QString &url, const QString &savePath, const QString &fileName,
                   const ExpectedFile &expected);
    // A publisher's key in init.ini: the list must carry its signature.
    bool Signed() const;
    QString RecordedListTimestamp() const;
    // "Failed to download updates.ini", once per run.
    void ListFailed();
    void DropList();
    // The file is what `expected` pins (Size and SHA256 both given).
    bool Matches(const QString &path, const ExpectedFile &expected);
    void FileFailed(const QString &fileName);
    void FinishIfSettled();

    void downloadError(const QString &SaveFile);
    void downloadComplete(qint64 MaxBytes, const QString &SaveFile);

    UpdateWindow &m_window;
    // Held from the run's start until the window goes.
    std::unique_ptr<RunLock> m_lock;
    bool m_connected = false;
    bool m_abandoned = false;
    bool m_inRun = false;

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
