#include "update/UpdateList.h"

#include "download/Address.h"
#include "download/Downloader.h"
#include "download/TempFile.h"
#include "log/UpdaterLog.h"
#include "profile/NumericValue.h"
#include "profile/ProfileCache.h"
#include "profile/SectionCount.h"
#include "profile/modTypes.h"
#include "system/DiskFlush.h"
#include "update/FileNameGuard.h"
#include "update/MirrorSet.h"
#include "update/ProgramFolder.h"
#include "update/SignedList.h"
#include "update/StagedUpdate.h"
#include "update/UpdateFailure.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <algorithm>
#include <cmath>
#include <limits>

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

void UpdateList::request(MirrorSet &bases, const QString &publicKey)
{
    m_publicKey = publicKey;
    m_bases = &bases;
    m_state = State::Arriving;
    if (!requestNext()) {
        failed("the list's transfer was refused");
        m_state = State::Settled;
    }
}

bool UpdateList::requestNext()
{
    const std::optional<QString> base = m_bases->untried(m_asked);
    if (!base)
        return false;
    m_asked.append(*base);
    m_transferFailed = false;
    const QString url = *base + QLatin1Char('/') + QLatin1String(ListFormat::ServerName);
    m_downloader.BeginDownload(url, SignedList::arrivingListPath(), {.limit = longestList});
    if (!m_downloader.isInFlight(SignedList::arrivingListPath()) && !m_transferFailed)
        return false;
    if (isSigned())
        m_downloader.BeginDownload(url + QLatin1String(ListFormat::SignatureSuffix),
                                   SignedList::arrivingSignaturePath(),
                                   {.limit = longestSignature});
    return true;
}

bool UpdateList::tryNext(const char *why)
{
    qCInfo(lcRun) << "update list from" << m_asked.last() << ":" << why;
    removeArriving();
    m_bases->demote(m_asked.last());
    if (requestNext())
        return false;
    m_state = State::Settled;
    failed(why);
    return true;
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
    // Every base is asked in turn until one serves a list (for a signed one:
    // a list that passes every check, so that a mirror holding an older or a
    // forged list cannot keep the player from the newer one another holds).
    if (m_transferFailed)
        return tryNext(isSigned() ? "the list or its signature did not arrive"
                                  : "its transfer failed (see updater.download)");
    m_state = State::Settled;
    if (!isSigned()) {
        if (!QFileInfo::exists(SignedList::arrivingListPath()))
            return true;
        if (replaceFile(SignedList::arrivingListPath(), updatesIniPath()))
            m_takenFrom = m_asked.last();
        else
            failed("the list could not replace updates.ini");
        return true;
    }
    // The pair is checked once both have settled; the check reads
    // updates.ini only after that, so it never sees a list that failed.
    if (!SignedList::adopt(m_publicKey, recordedTimestamp(), &m_refusal)) {
        m_state = State::Arriving;
        return tryNext("the list was not adopted (see updater.trust)");
    }
    removeArriving();
    m_takenFrom = m_asked.last();
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

QString UpdateList::general(const char *key)
{
    return ReadIni(updatesIniPath(), QLatin1String(ListFormat::General), QLatin1String(key));
}

namespace
{

// Checked before anything is fetched rather than left to the Downloader,
// whose answer to a bad address is a modal box: a list of many would bury
// the player in boxes. Every component of the target is checked, and the
// target must lie below the program folder: joined as plain text, a
// SavePath without its leading separator would put the file beside it.
const char *refusalOf(UpdateList::Entry &entry, QSet<QString> &realFolders, bool signedList)
{
    if (entry.expected.malformed)
        return "its Size or SHA256 is malformed";
    const std::optional<QString> relative =
        FileNameGuard::relativeTarget(entry.savePath + QStringLiteral("\\") + entry.fileName);
    if (!relative)
        return "its SavePath and FileName name no file below the game folder";
    if (addressRefusal(entry.url))
        return "its URL is not an http or https address";
    entry.relative = *relative;
    entry.target = gamePath(*relative);
    if (FileNameGuard::isProtected(entry.target) &&
        !(signedList && FileNameGuard::isUpdaterProgram(entry.target)))
        return "it names a file the updater keeps for itself";
    if (const QString problem = StagedUpdate::targetProblem(entry.target, &realFolders);
        !problem.isEmpty()) {
        qCInfo(lcRun).noquote() << "target" << entry.target << ":" << problem;
        return "its target cannot be replaced (see above)";
    }
    return nullptr;
}

} // namespace

UpdateList::Count UpdateList::fileCount()
{
    const double rounded = std::nearbyint(numericValue(general(ListFormat::TotalFiles)));
    if (!(rounded >= double(std::numeric_limits<qint32>::min()) &&
          rounded <= double(std::numeric_limits<qint32>::max())))
        throw UpdateFailure("TotalFiles out of range");
    // A list cannot hold more files than it has sections: a hostile
    // "TotalFiles" near 2^31 would otherwise keep the run starting (and
    // failing) transfers for days. Files it only claims count as failed.
    const int claimed = int(rounded);
    return {int(std::min<qsizetype>(claimed, sectionCount(updatesIniPath()))), claimed};
}

QList<UpdateList::Entry> UpdateList::entries(int count, bool signedList)
{
    QList<Entry> entries;
    QHash<QString, int> named;
    // The list is looked at once, not once per key: a list of thousands of
    // files would otherwise cost five looks at its stamp per file.
    const std::shared_ptr<const ProfileFile::Index> list = ProfileCache::current(updatesIniPath());
    QSet<QString> realFolders;
    for (qint64 number = 1; number <= count; ++number) {
        const QByteArray section = ListFormat::fileSection(number);
        const auto value = [&](const char *key) {
            return list ? QString::fromLocal8Bit(list->value(section, key)) : QString();
        };
        Entry entry{value(ListFormat::Url),
                    value(ListFormat::SavePath),
                    value(ListFormat::FileName),
                    parseExpectedFile(value(ListFormat::Size), value(ListFormat::Sha256)),
                    {},
                    {},
                    {},
                    nullptr,
                    {},
                    {}};
        // An index that cannot be used costs only the delta: the file still
        // travels whole, held to its own pins.
        const ExpectedFile chunks = parseExpectedFile({}, value(ListFormat::ChunksSha256));
        if (chunks.sha256 && !chunks.malformed && !addressRefusal(value(ListFormat::ChunksUrl))) {
            entry.chunksUrl = value(ListFormat::ChunksUrl);
            entry.chunksSha256 = *chunks.sha256;
        }
        entry.stagingKey =
            StagedUpdate::stagingKey(entry.savePath + QStringLiteral("\\") + entry.fileName);
        entry.refusal = refusalOf(entry, realFolders, signedList);
        if (!entry.stagingKey.isEmpty())
            ++named[entry.stagingKey];
        entries.append(entry);
    }
    for (Entry &entry : entries)
        if (!entry.refusal && named.value(entry.stagingKey) > 1)
            entry.refusal = "the list names its target twice";
    return entries;
}

void UpdateList::failed(const char *why)
{
    qCInfo(lcRun) << "update list:" << why;
    // A refused list is named by the run's last line instead.
    if (std::exchange(m_failureShown, true) || m_refusal != SignedList::Refusal::None)
        return;
    m_log(QStringLiteral("Failed to download updates.ini"));
}
