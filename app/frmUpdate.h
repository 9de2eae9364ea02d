#pragma once

#include <QPixmap>
#include <QString>
#include <QWidget>

class Downloader;
class ProgressBar;
class QLabel;
class QPushButton;
class QTimer;
class StatusLog;
class UpdateRun;

// The updater's one window: the status log, the progress bar and its caption,
// Done and Cancel over a background picture. The update run behind it does
// the work; the window shows what the run reports, ends the run when it
// closes, and shows the run's failure box.
//
// The window has no close command of its own. It closes only through Done,
// Cancel or closeWindow() (the failure path); from then on isClosed() is true
// and every transfer still in flight has been dropped.
class frmUpdate : public QWidget
{
    Q_OBJECT
public:
    explicit frmUpdate(QWidget *parent = nullptr);
    ~frmUpdate() override;

    // Takes away the close command, disables Done, shows the window and runs
    // the whole update; returns when the run procedure has returned.
    void formLoad();
    // Repair (the --verify option): every listed file is checked by its
    // bytes and fetched again where it does not match.
    void setVerifyAll(bool verifyAll);

    // The status log's one public procedure: appends a line.
    void AddText(const QString &msg);

    // The log's exact text, CR LF line breaks included, and the insertion
    // point in it.
    QString logText() const;
    qsizetype logCursor() const;

    float barMax() const;
    float barValue() const;
    bool doneEnabled() const;
    Downloader &Downloader2();
    bool isClosed() const;
    void closeWindow();

protected:
    void closeEvent(QCloseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void cmdCancelClicked();
    void cmdDoneClicked();
    void showFailure(const QString &text, const QString &title);

    // Controls in the order of the window's design; where two overlap, the
    // earlier one lies on top.
    QTimer *tmrProgress;
    QPushButton *cmdRunQV;
    QPushButton *cmdCancel;
    QPushButton *cmdDone;
    StatusLog *txtMain;
    ProgressBar *prgBar;
    QWidget *Downloader1;
    QLabel *lblPROGRESS;

    UpdateRun *m_run;
    QPixmap m_background;
    bool m_closed = false;
};
