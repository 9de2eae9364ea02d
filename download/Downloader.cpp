#include "download/Downloader.h"

#include "download/ReadFacility.h"

#include <QLabel>
#include <QPixmap>
#include <QPointer>

namespace
{

constexpr QSize faceSize(32, 32);

} // namespace

Downloader::Downloader(QWidget *parent) : QWidget(parent), m_reads(new ReadFacility(this))
{
    auto *face = new QLabel(this);
    face->setPixmap(QPixmap(QStringLiteral(":/DownloaderFace.png")));
    face->setGeometry(QRect(QPoint(0, 0), faceSize));
    SizeIt();

    connect(m_reads, &ReadFacility::progress, this,
            [this](const QString &SaveFile, qint64 received, qint64 total) {
                // A read of unknown length reports its size once, at the end.
                if (total != 0)
                    emit DownloadProgress(received, total, SaveFile);
            });
    connect(m_reads, &ReadFacility::finished, this, &Downloader::settle);
}

Downloader::~Downloader()
{
    abortAll();
}

void Downloader::BeginDownload(const QString &url, const QString &SaveFile)
{
    BeginDownload(url, SaveFile, ReadExpectation{});
}

void Downloader::BeginDownload(const QString &url, const QString &SaveFile,
                               const ReadExpectation &expected)
{
    if (const auto refusal = m_reads->start(url, SaveFile, expected))
        emit warning(downloaderWarningText(*refusal, QStringLiteral("BeginDownload")),
                     QStringLiteral("Warning"));
}

void Downloader::SizeIt()
{
    setFixedSize(faceSize);
    // A platform may keep a window above a minimum size of its own.
    if (size() != faceSize)
        emit warning(downloaderWarningText(DownloaderError::SizeRefused, QStringLiteral("SizeIt")),
                     QStringLiteral("Warning"));
}

int Downloader::inFlight() const
{
    return m_reads->count();
}

bool Downloader::isInFlight(const QString &SaveFile) const
{
    return m_reads->has(SaveFile);
}

void Downloader::abortAll()
{
    m_reads->dropAll();
}

void Downloader::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    SizeIt();
}

void Downloader::settle(const QString &SaveFile, const ReadOutcome &outcome)
{
    // A listener may destroy the control from inside an event; stop there.
    const QPointer<Downloader> alive(this);
    if (!outcome.stored) {
        emit DownloadFailure(SaveFile, outcome.failure);
        if (!alive)
            return;
        emit DownloadError(SaveFile);
        if (alive)
            emit DownloadComplete(0, SaveFile);
        return;
    }
    if (!outcome.lengthKnown && outcome.received != 0) {
        emit DownloadProgress(outcome.received, outcome.received, SaveFile);
        if (!alive)
            return;
    }
    emit DownloadComplete(outcome.received, SaveFile);
}
