#pragma once

#include "update/UpdateWindow.h"

#include <QPixmap>
#include <QString>
#include <QWidget>

class Downloader;
class ProgressBar;
class ProgressDisplay;
class QLabel;
class QPushButton;
class QTimer;
class StatusLog;
class UpdateRun;

// The updater's one window: the status log, the progress bar and its caption,
// Done and Cancel over a background picture, with the hidden Downloader2
// that fetches the update list and the files.
//
// The window has no close command of its own. It closes only through Done,
// Cancel or CloseWindow() (the failure path); from then on IsClosed() is true
// and every transfer still in flight has been dropped.
class frmUpdate : public QWidget, public UpdateWindow
{
    Q_OBJECT
public:
    explicit frmUpdate(QWidget *parent = nullptr);
    ~frmUpdate() override;

    // Takes away the close command, disables Done, shows the window and runs
    // the whole update; returns when the run procedure has returned.
    void Form_Load();

    // Public procedures of the window.
    void AddText(const QString &msg) override;
    void VerifyDir(const QString &Directory);
    void UpdateFiles();
    void CheckLastUpdate();

    // The log's exact text, CR LF line breaks included, and the insertion
    // point in it.
    QString LogText() const;
    qsizetype LogCursor() const;

    float BarMax() const override;
    void SetBarMax(float max) override;
    float BarValue() const override;
    void SetBarValue(float value) override;
    void SetProgressText(const QString &text) override;
    void EnableDone() override;
    void ShowBar() override;
    bool DoneEnabled() const override;
    Downloader &Downloader2() override;
    bool IsClosed() const override;
    void CloseWindow() override;
    QWidget *Widget() override;

protected:
    void closeEvent(QCloseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void cmdCancel_Click();
    void cmdDone_Click();

    // Controls in the order of the window's design; where two overlap, the
    // earlier one lies on top.
    QTimer *tmrProgress;
    QPushButton *cmdRunQV;
    Downloader *m_downloader2;
    QPushButton *cmdCancel;
    QPushButton *cmdDone;
    StatusLog *txtMain;
    ProgressBar *prgBar;
    QWidget *Downloader1;
    QLabel *lblPROGRESS;

    ProgressDisplay *m_progressDisplay;
    UpdateRun *m_run;
    QPixmap m_background;
    bool m_closed = false;
};
