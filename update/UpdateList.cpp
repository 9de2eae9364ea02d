#include "update/UpdateList.h"

#include "download/DiskFlush.h"
#include "download/Downloader.h"
#include "download/TempFile.h"
#include "log/UpdaterLog.h"
#include "profile/modTypes.h"
#include "update/ProgramFolder.h"
#include "update/SignedList.h"

#include <QFile>
#include <QFileInfo>

namespace
{

// A list is a profile; the profile reader reads no further than this, so a
// larger one cannot be what the publisher meant, and an endless one must not
// fill the disk while it arrives.
constexpr qint64 longestList = 16 * 1024 * 1024;
// A minisign signature is a few hundred bytes.
constexpr qint64 longestSignature = 16 * 1024;

QString recordedTimestamp()
{
    return ReadIni(initIniPath(), QStringLiteral("GENERAL"), QStringLiteral("ListTimestamp"));
}

void removeArriving()
{
    QFile::remove(SignedList::arrivingListPath());
    QFile::remove(SignedList::arrivingSignaturePath());
}

} // namespace

UpdateList::UpdateList(Downloader &downloader, std::function<void(const QString &)> log)
    : m_downloader(downloader), m_log(std::move(log))
{
}

void UpdateList::clearLeftovers()
{
    removeArriving();
    TempFile::removeLeftovers(SignedList::arrivingListPath());
    TempFile::removeLeftovers(SignedList::arrivingSignaturePath());
}

void UpdateList::request(const QString &updateFileUrl, const QString &publicKey)
{
    m_publicKey = publicKey;
    m_state = State::Arriving;
    const QString url = updateFileUrl + QStringLiteral("/updates.txt");
    m_downloader.BeginDownload(url, SignedList::arrivingListPath(), {.limit = longestList});
    if (!m_downloader.isInFlight(SignedList::arrivingListPath()) && !m_transferFailed) {
        failed("the list's transfer was refused");
        m_state = State::Settled;
        return;
    }
    if (isSigned())
        m_downloader.BeginDownload(url + QStringLiteral(".minisig"),
                                   SignedList::arrivingSignaturePath(),
                                   {.limit = longestSignature});
}

bool UpdateList::inFlight() const
{
    return m_downloader.isInFlight(SignedList::arrivingListPath()) ||
           m_downloader.isInFlight(SignedList::arrivingSignaturePath());
}

bool UpdateList::settle()
{
    if (m_state != State::Arriving)
        return m_state == State::Settled;
    if (inFlight())
        return false;
    m_state = State::Settled;
    if (!isSigned()) {
        if (!m_transferFailed && QFileInfo::exists(SignedList::arrivingListPath()) &&
            !replaceFile(SignedList::arrivingListPath(), updatesIniPath()))
            failed("the list could not replace updates.ini");
        return true;
    }
    // The pair is checked once both have settled; the check reads
    // updates.ini only after that, so it never sees a list that failed.
    if (m_transferFailed)
        failed("the list or its signature did not arrive");
    else if (!SignedList::adopt(m_publicKey, recordedTimestamp()))
        failed("the list was not adopted (see updater.trust)");
    removeArriving();
    return true;
}

void UpdateList::drop()
{
    if (m_state != State::Arriving)
        return;
    m_state = State::Settled;
    m_downloader.abortAll();
    removeArriving();
    failed("the list was still arriving when the wait ended");
}

void UpdateList::transferFailed(const QString &SaveFile)
{
    if (SaveFile != SignedList::arrivingListPath() &&
        SaveFile != SignedList::arrivingSignaturePath())
        return;
    m_transferFailed = true;
    if (!isSigned() && SaveFile == SignedList::arrivingListPath())
        failed("its transfer failed (see updater.download)");
}

std::optional<qint64> UpdateList::verifiedTimestamp()
{
    if (!isSigned())
        return std::nullopt;
    const std::optional<qint64> timestamp = SignedList::check(
        updatesIniPath(), SignedList::signaturePath(), m_publicKey, recordedTimestamp());
    if (!timestamp)
        failed("the kept list no longer verifies (see updater.trust)");
    return timestamp;
}

void UpdateList::failed(const char *why)
{
    qCInfo(lcRun) << "update list:" << why;
    if (std::exchange(m_failureShown, true))
        return;
    m_log(QStringLiteral("Failed to download updates.ini"));
}
