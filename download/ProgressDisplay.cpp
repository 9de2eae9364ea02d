#include "download/ProgressDisplay.h"

#include "download/Downloader.h"
#include "download/ProgressView.h"

ProgressDisplay::ProgressDisplay(ProgressView &view, const Downloader &downloader, QObject *parent)
    : QObject(parent), m_view(view), m_downloader(downloader)
{
}

void ProgressDisplay::SetRunReturned(bool returned)
{
    m_runReturned = returned;
}

void ProgressDisplay::downloadProgress(qint64 CurBytes, qint64 MaxBytes, const QString &)
{
    // The maximum first, so that the bar never holds the new value against
    // the previous transfer's range.
    m_view.SetBarMax(static_cast<float>(MaxBytes));
    m_view.SetBarValue(static_cast<float>(CurBytes));
    m_view.SetProgressText(QString::number(CurBytes) + QStringLiteral(" of ") +
                           QString::number(MaxBytes));
}

void ProgressDisplay::tick()
{
    // A full bar alone does not end the update: the update list's own last
    // notification fills it too, and so does the first of several files.
    if (m_view.BarValue() == m_view.BarMax() && m_downloader.InFlight() == 0 && m_runReturned)
        m_view.EnableDone();
}
