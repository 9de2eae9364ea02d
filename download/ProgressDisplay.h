#pragma once

#include <QObject>
#include <QString>

class Downloader;
class ProgressView;

// Moves the bar and the byte counter with every progress event of the
// window's Downloader, and on each timer tick enables Done once the update
// has ended: the bar is full, no transfer is in flight and the run procedure
// has returned.
class ProgressDisplay : public QObject
{
    Q_OBJECT
public:
    ProgressDisplay(ProgressView &view, const Downloader &downloader, QObject *parent = nullptr);

    void SetRunReturned(bool returned);

public slots:
    void downloadProgress(qint64 CurBytes, qint64 MaxBytes, const QString &SaveFile);
    void tick();

private:
    ProgressView &m_view;
    const Downloader &m_downloader;
    bool m_runReturned = false;
};
