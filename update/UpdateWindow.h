#pragma once

#include "download/ProgressView.h"

#include <QString>

class Downloader;
class QWidget;

// What the update run needs of its window. The main window implements it;
// the run never sees the window's controls directly.
class UpdateWindow : public ProgressView
{
public:
    // Date and time of the last installed update and of the offered one,
    // loaded by the last-update check and compared by the run.
    QString LastUpdateDate;
    QString LastUpdateTime;
    QString NewUpdateDate;
    QString NewUpdateTime;

    // One line of the status log.
    virtual void AddText(const QString &msg) = 0;

    virtual void ShowBar() = 0;
    virtual bool DoneEnabled() const = 0;

    virtual Downloader &Downloader2() = 0;

    // True once the window has been closed (Cancel, Done or the failure
    // path). A run waiting in a yield checks it and ends without touching
    // the window, the profiles or the network again.
    virtual bool IsClosed() const = 0;

    // Closes the window; the program ends with it.
    virtual void CloseWindow() = 0;

    // Parent for modal boxes.
    virtual QWidget *Widget() = 0;
};
