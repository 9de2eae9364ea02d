#include "update/UpdateRun.h"

#include "download/Address.h"
#include "download/DiskFlush.h"
#include "download/Downloader.h"
#include "download/Inet.h"
#include "download/TempFile.h"
#include "profile/NumericValue.h"
#include "profile/SectionCount.h"
#include "profile/modTypes.h"
#include "update/FileDigest.h"
#include "update/FileNameGuard.h"
#include "update/FileStamp.h"
#include "update/ProgramFolder.h"
#include "update/RunLock.h"
#include "update/SignedList.h"
#include "update/StagedUpdate.h"
#include "update/SystemFiles.h"
#include "update/UpdateFailure.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QLoggingCategory>
#include <QScopeGuard>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <cmath>
#include <limits>

// Why a file or the whole run failed, beyond the status log's "Failed to
// download": QT_LOGGING_RULES="updater.run=true" shows it to a publisher.
Q_LOGGING_CATEGORY(lcRun, "updater.run", QtWarningMsg)

namespace
{

const QString General = QStringLiteral("GENERAL");

QString floatText(float value)
{
    // Shortest form with at most seven significant digits, exponent in
    // capitals: 10.01 -> "10.01", 100 -> "100", 104857600 -> "1.048576E+08".
    return QString::number(double(value), 'g', 7).toUpper();
}

int fileCount(double totalFiles)
{
    const double rounded = std::nearbyint(totalFiles); // ties to even
    if (!(rounded >= double(std::numeric_limits<qint32>::min()) &&
          rounded <= double(std::numeric_limits<qint32>::max())))
        throw UpdateFailure("TotalFiles out of range");
    return int(rounded);
}

// A greeting is a few lines of text, but a server may send megabytes of it.
// The log shows at most MaxGreetingLength characters, cut between two
// characters rather than inside one.
QString loggedGreeting(QString greeting)
{
    if (greeting.size() <= UpdateRun::MaxGreetingLength)
        return greeting;
    qsizetype cut = UpdateRun::MaxGreetingLength;
    if (greeting.at(cut - 1).isHighSurrogate())
        --cut;
    greeting.truncate(cut);
    return greeting;
}

// A list that arrived after its run had stopped waiting for it (or while the
// program was killed) is never taken for this run's list.
void removeArrivingList()
{
    QFile::remove(SignedList::arrivingListPath());
    QFile::remove(SignedList::arrivingSignaturePath());
}

// A target the commit cannot replace, as the player reads it: which file,
// why, and what to do when the game holds it.
QString blockedLine(const StagedUpdate::Blocked &blocked)
{
    return QStringLiteral("Cannot replace ") + blocked.file + QStringLiteral(": ") + blocked.why +
           (blocked.inUse ? QStringLiteral(". Close the game, then start the updater again.")
                          : QStringLiteral("."));
}

int &listWait()
{
    static int ms = UpdateRun::ListWaitMs;
    return ms;
}

} // namespace

void UpdateRun::setListWaitForTesting(int ms)
{
    listWait() = ms > 0 ? ms : ListWaitMs;
}

UpdateRun::UpdateRun(QObject *parent)
    : QObject(parent), m_downloader2(new Downloader(qobject_cast<QWidget *>(parent))),
      m_lock(std::make_unique<RunLock>())
{
    // A hidden child of the window, which shows the Downloader's "Warning"
    // boxes; the run deletes it unless the window has.
    m_downloader2->setObjectName(QStringLiteral("Downloader2"));
    m_downloader2->setVisible(false);
    connect(m_downloader2, &Downloader::DownloadProgress, this, &UpdateRun::downloadProgress);
    connect(m_downloader2, &Downloader::warning, this, &UpdateRun::warning);
}

UpdateRun::~UpdateRun()
{
    delete m_downloader2;
}

void UpdateRun::stop()
{
    if (std::exchange(m_stopped, true))
        return;
    m_downloader2->abortAll();
}

void UpdateRun::end()
{
    if (std::exchange(m_ended, true))
        return;
    emit ended();
}

void UpdateRun::setBarValue(float value)
{
    m_barValue = value;
    emit barChanged(m_barMax, m_barValue);
}

void UpdateRun::downloadProgress(qint64 CurBytes, qint64 MaxBytes, const QString &)
{
    // The maximum with the value, so that the bar never holds the new value
    // against the previous transfer's range.
    m_barMax = static_cast<float>(MaxBytes);
    m_barValue = static_cast<float>(CurBytes);
    emit barChanged(m_barMax, m_barValue);
    emit progressText(QString::number(CurBytes) + QStringLiteral(" of ") +
                      QString::number(MaxBytes));
}

void UpdateRun::tick()
{
    // A full bar alone does not end the update: the update list's own last
    // notification fills it too, and so does the first of several files.
    if (m_runReturned && !m_stopped && m_barValue == m_barMax && m_downloader2->inFlight() == 0)
        end();
}

void UpdateRun::throwIfClosed() const
{
    if (m_stopped)
        throw Abandoned{};
}

void UpdateRun::yield()
{
    QCoreApplication::processEvents();
    throwIfClosed();
}

// Yields until `settled` holds or the deadline has passed. Each yield sleeps
// until something happens (a network event, a timer tick, a click) instead
// of spinning; the wake-up timer lets the wait see its deadline even when
// nothing else happens.
void UpdateRun::waitUntil(const std::function<bool()> &settled, QDeadlineTimer deadline)
{
    QTimer wakeUp;
    wakeUp.start(50);
    while (!settled() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        throwIfClosed();
    }
}

void UpdateRun::connectDownloader()
{
    if (m_connected)
        return;
    m_connected = true;
    connect(&Downloader2(), &Downloader::DownloadError, this, &UpdateRun::downloadError);
    connect(&Downloader2(), &Downloader::DownloadComplete, this, &UpdateRun::downloadComplete);
}

template <typename Steps> void UpdateRun::runOnItsOwn(Steps steps)
{
    if (m_inRun) {
        steps();
        return;
    }
    try {
        steps();
    } catch (const Abandoned &) {
        m_abandoned = true;
    }
}

void UpdateRun::CheckLastUpdate()
{
    runOnItsOwn([this] { checkLastUpdateSteps(); });
}

void UpdateRun::UpdateFiles()
{
    runOnItsOwn([this] { updateFilesSteps(); });
}

void UpdateRun::RetrieveUpdateList()
{
    m_inRun = true;
    const auto runEnded = qScopeGuard([this] {
        m_inRun = false;
        m_runReturned = true;
    });
    try {
        if (!m_lock->take()) {
            // Another updater works in this folder: leave every file to it.
            m_abandoned = true;
            qCInfo(lcRun) << "the run lock is held by another updater";
            emit failed(QStringLiteral("Another update is running in this folder."),
                        QStringLiteral("Update Running"));
            return;
        }
        connectDownloader();
        // A commit cut short by a crash, a kill or a power cut is finished
        // before anything else, whether or not the server answers: the game
        // never stays half old and half new.
        // One that a file in use stops (the game runs) waits for the player
        // to close the game: the run goes on, and its own commit finishes
        // what the journal names.
        const StagedUpdate::Recovery recovery = StagedUpdate::recover();
        if (!recovery.reason.isEmpty())
            qCInfo(lcRun) << "the journal left by an earlier commit:" << recovery.reason;
        for (const StagedUpdate::Blocked &blocked : recovery.blocked)
            emit logLine(blockedLine(blocked));
        if (recovery.kind == StagedUpdate::Recovery::SetAside)
            emit logLine(QStringLiteral("A damaged update journal was set aside") +
                         (recovery.setAsideAs.isEmpty()
                              ? QStringLiteral(".")
                              : QStringLiteral(" as ") + recovery.setAsideAs + QLatin1Char('.')));
        removeArrivingList();
        // What a killed updater was still writing of the list goes too.
        TempFile::removeLeftovers(SignedList::arrivingListPath());
        TempFile::removeLeftovers(SignedList::arrivingSignaturePath());
        const QString hello = ReadIni(initIniPath(), General, QStringLiteral("Hello"));
        QString greeting;
        try {
            greeting = Inet::openURL(hello);
        } catch (const InetError &error) {
            throw UpdateFailure(error.what());
        }
        throwIfClosed();
        emit logLine(loggedGreeting(greeting));
        emit logLine(QStringLiteral("Downloading updates.ini, please wait..."));
        yield();

        const QString listUrl = ReadIni(initIniPath(), General, QStringLiteral("UpdateFileURL")) +
                                QStringLiteral("/updates.txt");
        m_publicKey = ReadIni(initIniPath(), General, QStringLiteral("PublicKey"));
        // The list arrives beside updates.ini and takes its place only while
        // the check still waits for it, so that a list that lands late can
        // never change what a run has already decided.
        const QString listTarget = SignedList::arrivingListPath();
        m_listRequested = true;
        Downloader2().BeginDownload(listUrl, listTarget);
        throwIfClosed();
        if (!Downloader2().isInFlight(listTarget) && !m_listErrored)
            listFailed("the list's transfer was refused");
        if (isSigned()) {
            Downloader2().BeginDownload(listUrl + QStringLiteral(".minisig"),
                                        SignedList::arrivingSignaturePath());
            throwIfClosed();
        }
        emit logLine(QStringLiteral("Receiving Update File"));

        checkLastUpdateSteps();

        if (LastUpdateTime == NewUpdateTime && LastUpdateDate == NewUpdateDate) {
            closingBlock();
            return;
        }
        emit logLine(ReadIni(updatesIniPath(), General, QStringLiteral("TotalFiles")) +
                     QStringLiteral(" Files Found..."));
        if (numericValue(ReadIni(updatesIniPath(), General, QStringLiteral("TotalFiles"))) > 0)
            updateFilesSteps();
        else
            closingBlock();
    } catch (const Abandoned &) {
        m_abandoned = true;
    } catch (const std::exception &error) {
        m_abandoned = true;
        if (m_stopped)
            return;
        qCInfo(lcRun) << "the run failed:" << error.what();
        emit failed(QStringLiteral("Update Failed, Shutting Down."),
                    QStringLiteral("Update Failed"));
    }
}

void UpdateRun::closingBlock()
{
    end();
    emit logLine(QStringLiteral("Finished......."));
    emit logLine(QStringLiteral("No Files to Update"));
    setBarValue(m_barMax);
}

bool UpdateRun::listSettled()
{
    if (Downloader2().isInFlight(SignedList::arrivingListPath()) ||
        Downloader2().isInFlight(SignedList::arrivingSignaturePath()))
        return false;
    if (!isSigned()) {
        if (!std::exchange(m_listChecked, true) && m_listRequested && !m_listErrored &&
            QFileInfo::exists(SignedList::arrivingListPath()) &&
            !replaceFile(SignedList::arrivingListPath(), updatesIniPath()))
            listFailed("the list could not replace updates.ini");
        return true;
    }
    // Once both have settled, the pair is checked once; the check reads
    // updates.ini only after that, so it never sees a list that failed.
    if (!m_listChecked) {
        m_listChecked = true;
        const bool arrived = !m_erroredTargets.contains(SignedList::arrivingListPath()) &&
                             !m_erroredTargets.contains(SignedList::arrivingSignaturePath());
        if (!arrived)
            listFailed("the list or its signature did not arrive");
        else if (!SignedList::adopt(m_publicKey, recordedListTimestamp()))
            listFailed("the list was not adopted (see updater.trust)");
    }
    return true;
}

bool UpdateRun::isSigned() const
{
    return !m_publicKey.isEmpty();
}

QString UpdateRun::recordedListTimestamp() const
{
    return ReadIni(initIniPath(), General, QStringLiteral("ListTimestamp"));
}

// The wait for the list is over while it is still in flight (a server that
// trickles it): the transfer goes, and the run goes on as for a failed list.
void UpdateRun::dropList()
{
    m_listChecked = true;
    Downloader2().abortAll();
    removeArrivingList();
    listFailed("the list was still arriving when the wait ended");
}

void UpdateRun::listFailed(const char *why)
{
    qCInfo(lcRun) << "update list:" << why;
    if (std::exchange(m_listFailureShown, true))
        return;
    emit logLine(QStringLiteral("Failed to download updates.ini"));
}

// Loads the four date and time fields; true when the no-files exit was taken.
bool UpdateRun::readingStep()
{
    if (!(numericValue(ReadIni(updatesIniPath(), General, QStringLiteral("TotalFiles"))) > 0)) {
        closingBlock();
        return true;
    }
    LastUpdateDate = ReadIni(initIniPath(), General, QStringLiteral("LastUpdate"));
    LastUpdateTime = ReadIni(initIniPath(), General, QStringLiteral("LastUpdateTime"));
    NewUpdateDate = ReadIni(updatesIniPath(), General, QStringLiteral("Date"));
    NewUpdateTime = ReadIni(updatesIniPath(), General, QStringLiteral("Time"));
    return false;
}

void UpdateRun::showPassProgress(int pass)
{
    const float max = m_barMax;
    setBarValue(float(double(max) / 10.0 + double(pass) / 100.0));
    const float value = m_barValue;
    const QString shown = floatText(value).left(value < 100.0f ? 3 : 4);
    emit progressText(shown + QStringLiteral(" / ") + floatText(m_barMax));
}

void UpdateRun::checkLastUpdateSteps()
{
    connectDownloader();
    const QDeadlineTimer listDeadline(listWait());
    emit logLine(QStringLiteral("Update file received. Checking Information...."));

    // The reading step runs only once the update-list transfer has settled,
    // so that the check sees the list this run fetches, not the one before.
    // After that it runs again only when a profile has changed since: a
    // reading step on unchanged files would load the same four texts.
    FileStamp initStamp(initIniPath());
    FileStamp listStamp(updatesIniPath());
    const auto profilesChanged = [&] {
        const bool initChanged = initStamp.changed();
        return listStamp.changed() || initChanged;
    };
    bool readAfterSettling = false;
    for (int pass = 1; pass <= CheckPasses; ++pass) {
        readAfterSettling = listSettled();
        if (readAfterSettling && profilesChanged() && readingStep())
            return;
        yield();
        showPassProgress(pass);
    }
    setBarValue(100.0f);
    emit progressText(floatText(m_barValue) + QStringLiteral(" / ") + floatText(m_barMax));

    if (readAfterSettling)
        return;
    waitUntil([this] { return listSettled(); }, listDeadline);
    if (!listSettled())
        dropList();
    readingStep();
}

void UpdateRun::updateFilesSteps()
{
    connectDownloader();
    const int listed =
        fileCount(numericValue(ReadIni(updatesIniPath(), General, QStringLiteral("TotalFiles"))));
    // A list cannot hold more files than it has sections: a hostile
    // "TotalFiles" near 2^31 would otherwise keep the run starting (and
    // failing) transfers for days. Files it only claims count as failed.
    const int count = int(std::min<qsizetype>(listed, sectionCount(updatesIniPath())));
    if (listed > count)
        m_failedFiles += listed - count;
    // The record names the list whose files this loop installs, even when
    // another list lands in updates.ini before the last file has settled.
    m_recordDate = ReadIni(updatesIniPath(), General, QStringLiteral("Date"));
    m_recordTime = ReadIni(updatesIniPath(), General, QStringLiteral("Time"));
    // The list in place may be one that arrived in an earlier run: it is
    // checked again, with its kept signature, before a file of it is fetched.
    if (isSigned()) {
        m_listTimestamp = SignedList::check(updatesIniPath(), SignedList::signaturePath(),
                                            m_publicKey, recordedListTimestamp());
        if (!m_listTimestamp)
            listFailed("the kept list no longer verifies (see updater.trust)");
    }
    // Staged files of an update that is no longer offered go; those this
    // list names again may be reused. A target named twice, in any two
    // spellings that one player's file system takes for one file
    // ("Readme.txt" and "README.txt" on Windows), fails both: one of them
    // would never be installed, and the list must work for every player.
    QSet<QString> named;
    QSet<QString> twice;
    for (qint64 number = 1; number <= count; ++number) {
        const QString section = QStringLiteral("FILE") + QString::number(number);
        const QString key = StagedUpdate::stagingKey(
            ReadIni(updatesIniPath(), section, QStringLiteral("SavePath")) + QStringLiteral("\\") +
            ReadIni(updatesIniPath(), section, QStringLiteral("FileName")));
        if (!key.isEmpty() && named.contains(key))
            twice.insert(key);
        named.insert(key);
    }
    StagedUpdate::removeUnnamed(named);
    for (qint64 number = 1; number <= count; ++number) {
        const QString section = QStringLiteral("FILE") + QString::number(number);
        const QString url = ReadIni(updatesIniPath(), section, QStringLiteral("URL"));
        const QString savePath = ReadIni(updatesIniPath(), section, QStringLiteral("SavePath"));
        const QString fileName = ReadIni(updatesIniPath(), section, QStringLiteral("FileName"));
        const ExpectedFile expected =
            parseExpectedFile(ReadIni(updatesIniPath(), section, QStringLiteral("Size")),
                              ReadIni(updatesIniPath(), section, QStringLiteral("SHA256")));
        // With a signed list, a file the list does not pin by its hash could be
        // anything; so could any file of a list that failed its check.
        if (expected.malformed)
            fileFailed(fileName, "its Size or SHA256 is malformed");
        else if (twice.contains(
                     StagedUpdate::stagingKey(savePath + QStringLiteral("\\") + fileName)))
            fileFailed(fileName, "the list names its target twice");
        else if (isSigned() && (!m_listTimestamp || !expected.sha256))
            fileFailed(fileName, "a signed list must pin it, and the list must verify");
        else
            startFile(url, savePath, fileName, expected);
        yield();
    }
    m_allFilesStarted = true;
    finishIfSettled();
}

void UpdateRun::startFile(const QString &url, const QString &savePath, const QString &fileName,
                          const ExpectedFile &expected)
{
    // Checked here rather than left to the Downloader, whose answer to a bad
    // address is a modal box: a list of many would bury the player in boxes.
    const QString suffix = savePath + QStringLiteral("\\") + fileName;
    // Every component of the target is checked, and the target must lie
    // below the program folder: joined as plain text, a SavePath without its
    // leading separator would put the file beside the game folder.
    const std::optional<QString> relative = FileNameGuard::relativeTarget(suffix);
    if (!FileNameGuard::staysInside(savePath) || !FileNameGuard::staysInside(fileName) ||
        !relative) {
        fileFailed(fileName, "its SavePath and FileName name no file below the program folder");
        return;
    }
    if (addressRefusal(url)) {
        fileFailed(fileName, "its URL is not an http or https address");
        return;
    }
    const QString target = gamePath(*relative);
    // Two spellings of one file ("\data" and "/data\") are one staged file.
    const QString stagingKey = StagedUpdate::stagingKey(suffix);
    if (FileNameGuard::isProtected(target)) {
        fileFailed(fileName, "it names a file the updater keeps for itself");
        return;
    }
    if (const QString problem = StagedUpdate::targetProblem(target); !problem.isEmpty()) {
        qCInfo(lcRun).noquote() << "target" << target << ":" << problem;
        fileFailed(fileName, "its target cannot be replaced (see above)");
        return;
    }
    const QString staged = StagedUpdate::stagedPath(stagingKey);
    const QString key = FileNameGuard::normalised(staged);
    // Only what changed is fetched: a file already in place, or already
    // staged by an earlier run, is taken when it is what the list pins.
    if (expected.size && expected.sha256 && !m_pendingFiles.contains(key)) {
        if (matches(target, expected)) {
            emit logLine(QStringLiteral("Up to date ") + fileName);
            return;
        }
        if (matches(staged, expected)) {
            emit logLine(QStringLiteral("Up to date ") + fileName);
            m_moves.insert(stagingKey, suffix);
            return;
        }
    }
    // Files arrive in the staging folder; the game folder changes only
    // when the whole update has arrived.
    if (!StagedUpdate::makeStagingFolders(stagingKey)) {
        fileFailed(fileName, "its staging folder cannot be made");
        return;
    }
    emit logLine(QStringLiteral("Downloading ") + fileName);

    // A second file with the same target waits for the first one, so that
    // every transfer in flight has a file of its own.
    waitUntil([&] { return !m_pendingFiles.contains(key) && !Downloader2().isInFlight(staged); },
              QDeadlineTimer(QDeadlineTimer::Forever));

    m_pendingFiles.insert(key, fileName);
    m_moves.insert(stagingKey, suffix);
    m_erroredTargets.remove(staged);
    // A file cut short keeps what arrived for the next run to continue, but
    // only where the list pins it by its hash: bytes of two different bodies
    // joined together must not pass unseen.
    Downloader2().BeginDownload(url, staged,
                                {expected.size, expected.sha256, expected.sha256.has_value()});
    throwIfClosed();
    if (m_pendingFiles.contains(key) && !Downloader2().isInFlight(staged)) {
        // Refused at start: the Downloader has shown its own box.
        m_pendingFiles.remove(key);
        fileFailed(fileName, "the Downloader refused it");
    }
}

// Hashing a large file takes seconds: it runs off the window's thread while
// the window keeps answering.
bool UpdateRun::matches(const QString &path, const ExpectedFile &expected)
{
    // Only a regular file: a link could stand for any file of the machine.
    if (!SystemFiles::isRegularFile(path))
        return false;
    QFutureWatcher<bool> watcher;
    const QFuture<bool> future =
        QtConcurrent::run(fileMatches, path, *expected.size, *expected.sha256);
    watcher.setFuture(future);
    waitUntil([&] { return future.isFinished(); }, QDeadlineTimer(QDeadlineTimer::Forever));
    return future.result();
}

void UpdateRun::fileFailed(const QString &fileName, const char *why)
{
    qCInfo(lcRun) << fileName << "failed:" << why;
    ++m_failedFiles;
    emit logLine(QStringLiteral("Failed to download ") + fileName);
}

void UpdateRun::downloadError(const QString &SaveFile)
{
    if (m_abandoned || m_stopped)
        return;
    m_erroredTargets.insert(SaveFile);
    if (SaveFile == SignedList::arrivingListPath()) {
        m_listErrored = true;
        if (!isSigned())
            listFailed("its transfer failed (see updater.download)");
    }
}

void UpdateRun::downloadComplete(qint64, const QString &SaveFile)
{
    if (m_abandoned || m_stopped)
        return;
    const bool failed = m_erroredTargets.remove(SaveFile);
    const auto pending = m_pendingFiles.constFind(FileNameGuard::normalised(SaveFile));
    if (pending == m_pendingFiles.cend())
        return;
    const QString fileName = pending.value();
    m_pendingFiles.erase(pending);
    if (failed)
        fileFailed(fileName, "its transfer failed (see updater.download)");
    finishIfSettled();
}

// Once the last file transfer has settled: only an update whose every file
// arrived is committed, so a failed one leaves the game as it was (its
// arrived files stay staged) and is offered again. A commit that cannot
// write its journal (a full disk) changes nothing; one cut short after it is
// finished at the next start. The log claims the update complete only once
// the files are in place and recorded.
void UpdateRun::finishIfSettled()
{
    if (!m_allFilesStarted || !m_pendingFiles.isEmpty() || m_finished || m_abandoned || m_stopped)
        return;
    m_finished = true;
    if (m_failedFiles == 0) {
        QList<StagedUpdate::Move> moves;
        for (auto it = m_moves.cbegin(); it != m_moves.cend(); ++it)
            moves.append({it.key(), it.value()});
        const StagedUpdate::CommitResult result =
            StagedUpdate::commit({m_recordDate, m_recordTime, m_listTimestamp}, moves);
        if (!result.reason.isEmpty())
            qCInfo(lcRun).noquote() << "the commit stopped:" << result.reason;
        for (const StagedUpdate::Blocked &blocked : result.blocked)
            emit logLine(blockedLine(blocked));
        emit logLine(QStringLiteral("Finished......."));
        if (result.outcome == StagedUpdate::Outcome::Committed)
            emit logLine(QStringLiteral("Update Complete"));
        else if (result.outcome == StagedUpdate::Outcome::NothingMoved && !result.blocked.isEmpty())
            emit logLine(QString::number(result.blocked.size()) +
                         QStringLiteral(" Files Failed, Update Will Be Offered Again"));
        else
            emit logLine(QStringLiteral("Update Not Recorded, Update Will Be Offered Again"));
    } else {
        emit logLine(QStringLiteral("Finished......."));
        emit logLine(QString::number(m_failedFiles) +
                     QStringLiteral(" Files Failed, Update Will Be Offered Again"));
    }
    setBarValue(m_barMax);
    end();
}
