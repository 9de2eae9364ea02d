#pragma once

#include "download/ReadExpectation.h"
#include "download/TransferEvents.h"

#include <QString>
#include <QWidget>

class ReadFacility;
struct ReadOutcome;

// Fetches one address into one file per BeginDownload call. Every read is
// known only by its SaveFile tag, which comes back with each of its events.
// Reads proceed side by side; their events arrive on the window's thread as
// the event loop runs. The widget has no user interface: a 32 x 32 face icon.
//
// A read fails (DownloadError, then DownloadComplete with MaxBytes 0) on a
// network error, an HTTP status other than 2xx, a body shorter than its
// announced length, an empty body, less than 1 KiB/s received on average
// over 60 s, or a target that cannot be written; its target file is then left
// as it was.
// Connection failures, time-outs and server statuses that may pass are tried
// again a few times first, unseen by listeners. A stored read replaces its
// target in one step before DownloadComplete(bytes). To destroy the control
// from inside one of its own events, use deleteLater().
class Downloader : public QWidget
{
    Q_OBJECT
public:
    explicit Downloader(QWidget *parent = nullptr);
    ~Downloader() override;

    // Starts one asynchronous read of `url` into `SaveFile` and returns at once.
    // A read that cannot start shows the "Warning" box; no event follows for it.
    // A read into a SaveFile whose read is still in flight cannot start: the
    // first read keeps the file and the second is refused with the box.
    void BeginDownload(const QString &url, const QString &SaveFile);
    // The same, with what the body must be: a body that does not match
    // `expected` is a failed read.
    void BeginDownload(const QString &url, const QString &SaveFile,
                       const ReadExpectation &expected);

    // Keeps the control at 32 x 32 pixels.
    void SizeIt();

    // Reads started and not yet completed (their DownloadComplete not yet raised).
    int inFlight() const;
    bool isInFlight(const QString &SaveFile) const;

    // Drops every read in flight: no further event is raised for them and
    // none of their target files is touched.
    void abortAll();

signals:
    void DownloadProgress(qint64 CurBytes, qint64 MaxBytes, const QString &SaveFile);
    void DownloadError(const QString &SaveFile);
    // Raised just before DownloadError: why the read failed.
    void DownloadFailure(const QString &SaveFile, ReadFailure why);
    void DownloadComplete(qint64 MaxBytes, const QString &SaveFile);
    // A call the control refuses (a bad address, a size it cannot take).
    // Its owner shows it as a modal "Warning" box with a stop icon; a
    // connection made directly shows it before the refused call returns.
    void warning(const QString &text, const QString &title);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void settle(const QString &SaveFile, const ReadOutcome &outcome);

    ReadFacility *m_reads;
};
