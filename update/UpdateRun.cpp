#include "update/UpdateRun.h"

#include "download/Address.h"
#include "download/Downloader.h"
#include "download/Inet.h"
#include "download/KeptPartial.h"
#include "log/UpdaterLog.h"
#include "profile/NumericValue.h"
#include "profile/modTypes.h"
#include "system/FileStamp.h"
#include "system/SystemFiles.h"
#include "update/DeltaFile.h"
#include "update/FileDigest.h"
#include "update/FileNameGuard.h"
#include "update/ProgramFolder.h"
#include "update/RunLock.h"
#include "update/SignedList.h"
#include "update/StagedUpdate.h"
#include "update/UpdateFailure.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>

namespace
{

const QString General = QStringLiteral("GENERAL");

QString floatText(float value)
{
    // Shortest form with at most seven significant digits, exponent in
    // capitals: 10.01 -> "10.01", 100 -> "100", 104857600 -> "1.048576E+08".
    return QString::number(double(value), 'g', 7).toUpper();
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
      m_lock(std::make_unique<RunLock>()),
      m_list(*m_downloader2, [this](const QString &line) { emit logLine(line); }),
      // Hashing a large file takes seconds: the window keeps answering.
      m_waitForever([this](const std::function<bool()> &done) {
          waitUntil(done, QDeadlineTimer(QDeadlineTimer::Forever));
      })
{
    // A hidden child of the window, which shows the Downloader's "Warning"
    // boxes; the run deletes it unless the window has.
    m_downloader2->setObjectName(QStringLiteral("Downloader2"));
    m_downloader2->setVisible(false);
    connect(m_downloader2, &Downloader::DownloadProgress, this, &UpdateRun::downloadProgress);
    connect(m_downloader2, &Downloader::DownloadError, this, &UpdateRun::downloadError);
    connect(m_downloader2, &Downloader::DownloadFailure, this,
            [this](const QString &SaveFile, ReadFailure why) { m_failures.insert(SaveFile, why); });
    connect(m_downloader2, &Downloader::DownloadComplete, this, &UpdateRun::downloadComplete);
    connect(m_downloader2, &Downloader::warning, this, &UpdateRun::warning);
}

UpdateRun::~UpdateRun()
{
    delete m_downloader2;
}

// The one place where the phase changes. Ended is announced once; Stopped
// and Failed are final.
void UpdateRun::setPhase(Phase phase)
{
    if (m_phase == phase || m_phase == Phase::Stopped ||
        (m_phase == Phase::Failed && phase != Phase::Stopped))
        return;
    qCDebug(lcRun) << "phase" << m_phase << "->" << phase;
    m_phase = phase;
    if (phase == Phase::Ended)
        emit ended();
}

void UpdateRun::cancel()
{
    // Before the update has ended, Cancel leaves it to be offered again.
    if (m_phase != Phase::Ended) {
        WriteIni(initIniPath(), General, QStringLiteral("LastUpdate"),
                 QStringLiteral("Last Update Canceled"));
        WriteIni(initIniPath(), General, QStringLiteral("LastUpdateTime"),
                 QStringLiteral("Last Update Canceled"));
    }
    stop();
}

void UpdateRun::stop()
{
    if (m_phase == Phase::Stopped)
        return;
    setPhase(Phase::Stopped);
    m_downloader2->abortAll();
}

void UpdateRun::setBarValue(float value)
{
    m_barValue = value;
    emit barChanged(m_barMax, m_barValue);
}

void UpdateRun::downloadProgress(qint64 CurBytes, qint64 MaxBytes, const QString &SaveFile)
{
    // A delta's reads show on the bar through the delta, as one file.
    for (const DeltaFile *delta : std::as_const(m_deltas))
        if (delta->owns(SaveFile))
            return;
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
    // A delta searching the local copies has no read in flight yet.
    const bool deltaBusy = std::any_of(m_deltas.cbegin(), m_deltas.cend(),
                                       [](const DeltaFile *d) { return !d->ended(); });
    if (m_phase == Phase::Downloading && m_barValue == m_barMax && m_downloader2->inFlight() == 0 &&
        !deltaBusy)
        setPhase(Phase::Ended);
}

void UpdateRun::throwIfClosed() const
{
    if (m_phase == Phase::Stopped)
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

void UpdateRun::RetrieveUpdateList()
{
    setPhase(Phase::Starting);
    try {
        if (!m_lock->take()) {
            // Another updater works in this folder: leave every file to it.
            setPhase(Phase::Failed);
            qCInfo(lcRun) << "the run lock is held by another updater";
            emit failed(QStringLiteral("Another update is running in this folder."),
                        QStringLiteral("Update Running"));
            return;
        }
        recoverJournal();
        UpdateList::clearLeftovers();
        checkInitIni();
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

        setPhase(Phase::CheckingList);
        m_mirrors = MirrorSet(ReadIni(initIniPath(), General, QStringLiteral("UpdateFileURL")));
        addMirrors(ReadIni(initIniPath(), General, QLatin1String(ListFormat::Mirrors)), "init.ini");
        m_list.request(m_mirrors, ReadIni(initIniPath(), General, QStringLiteral("PublicKey")));
        throwIfClosed();
        emit logLine(QStringLiteral("Receiving Update File"));

        CheckLastUpdate();
        if (endIfListRefused())
            return;

        if (LastUpdateTime == NewUpdateTime && LastUpdateDate == NewUpdateDate && !m_verifyAll) {
            closingBlock();
            return;
        }
        emit logLine(UpdateList::general(ListFormat::TotalFiles) +
                     QStringLiteral(" Files Found..."));
        if (numericValue(UpdateList::general(ListFormat::TotalFiles)) > 0)
            UpdateFiles();
        else
            closingBlock();
    } catch (const Abandoned &) {
    } catch (const std::exception &error) {
        if (m_phase == Phase::Stopped)
            return;
        setPhase(Phase::Failed);
        qCInfo(lcRun) << "the run failed:" << error.what();
        emit failed(QStringLiteral("Update Failed, Shutting Down."),
                    QStringLiteral("Update Failed"));
    }
}

// A commit cut short by a crash, a kill or a power cut is finished before
// anything else, whether or not the server answers: the game never stays
// half old and half new. One that a file in use stops (the game runs) waits
// for the player to close the game: the run goes on, and its own commit
// finishes what the journal names.
void UpdateRun::recoverJournal()
{
    const StagedUpdate::Recovery recovery = StagedUpdate::recover();
    if (!recovery.reason.isEmpty())
        qCInfo(lcRun) << "the journal left by an earlier commit:" << recovery.reason;
    for (const QString &line : recovery.logLines())
        emit logLine(line);
}

// Read as empty, a missing profile or setting would surface only as a
// greeting or a list that cannot be fetched; the player (and the publisher
// he asks) is told which setting is at fault instead.
void UpdateRun::checkInitIni()
{
    const QString path = initIniPath();
    QString problem;
    QFile init(path);
    if (!QFileInfo::exists(path))
        problem = QStringLiteral("init.ini is missing: ") + QDir::toNativeSeparators(path);
    else if (!QFileInfo(path).isFile() || !init.open(QIODevice::ReadOnly))
        problem = QStringLiteral("init.ini cannot be read: ") + QDir::toNativeSeparators(path);
    else
        for (const char *key : {"Hello", "UpdateFileURL"})
            if (problem.isEmpty() && ReadIni(path, General, QLatin1String(key)).trimmed().isEmpty())
                problem = QStringLiteral("init.ini names no ") + QLatin1String(key);
    if (problem.isEmpty())
        return;
    emit logLine(problem);
    throw UpdateFailure(problem.toStdString());
}

// A list refused for its signature, its age or its expiry must not let the
// run go on with the list it had: that would install (or call up to date)
// what the server's answer was meant to replace, and the log would claim a
// success the player cannot trust.
bool UpdateRun::endIfListRefused()
{
    const QString line = SignedList::refusalLine(m_list.refusal());
    if (line.isEmpty())
        return false;
    if (m_phase != Phase::Ended) {
        emit logLine(QStringLiteral("Finished......."));
        emit logLine(line);
        setBarValue(m_barMax);
        setPhase(Phase::Ended);
    }
    return true;
}

void UpdateRun::closingBlock()
{
    setPhase(Phase::Ended);
    emit logLine(QStringLiteral("Finished......."));
    emit logLine(QStringLiteral("No Files to Update"));
    setBarValue(m_barMax);
}

// Loads the four date and time fields; true when the no-files exit was taken
// or the run ended on a refused list.
bool UpdateRun::readingStep()
{
    if (endIfListRefused())
        return true;
    if (!(numericValue(UpdateList::general(ListFormat::TotalFiles)) > 0)) {
        closingBlock();
        return true;
    }
    LastUpdateDate = ReadIni(initIniPath(), General, QStringLiteral("LastUpdate"));
    LastUpdateTime = ReadIni(initIniPath(), General, QStringLiteral("LastUpdateTime"));
    NewUpdateDate = UpdateList::general(ListFormat::Date);
    NewUpdateTime = UpdateList::general(ListFormat::Time);
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

void UpdateRun::CheckLastUpdate()
{
    const QDeadlineTimer listDeadline(listWait());
    emit logLine(QStringLiteral("Update file received. Checking Information...."));

    // The reading step runs only once the update-list transfer has settled,
    // so that the check sees the list this run fetches, not the one before.
    // After that it runs again only when a profile has changed since: a
    // reading step on unchanged files would load the same four texts.
    std::optional<std::optional<FileStamp>> initStamp, listStamp;
    const auto changed = [](const QString &path, std::optional<std::optional<FileStamp>> &last) {
        const std::optional<FileStamp> now = FileStamp::of(path);
        return std::exchange(last, now) != now;
    };
    const auto profilesChanged = [&] {
        const bool initChanged = changed(initIniPath(), initStamp);
        return changed(updatesIniPath(), listStamp) || initChanged;
    };
    for (int pass = 1; pass <= CheckPasses; ++pass) {
        if (m_list.settle() && profilesChanged() && readingStep())
            return;
        yield();
        showPassProgress(pass);
    }
    setBarValue(100.0f);
    emit progressText(floatText(m_barValue) + QStringLiteral(" / ") + floatText(m_barMax));

    if (m_list.state() == UpdateList::State::Settled)
        return;
    waitUntil([this] { return m_list.settle(); }, listDeadline);
    m_list.drop();
    readingStep();
}

void UpdateRun::UpdateFiles()
{
    setPhase(Phase::StartingFiles);
    const auto [count, claimed] = UpdateList::fileCount();
    m_failedFiles += claimed - count;
    // The record names the list whose files this loop installs, even when
    // another list lands in updates.ini before the last file has settled.
    m_recordDate = UpdateList::general(ListFormat::Date);
    m_recordTime = UpdateList::general(ListFormat::Time);
    m_listTimestamp = m_list.verifiedTimestamp();
    m_settings = listSettings();
    addMirrors(UpdateList::general(ListFormat::Mirrors), "the list");
    // Staged files of an update that is no longer offered go; those this
    // list names again may be reused.
    const QList<UpdateList::Entry> entries = UpdateList::entries(count, m_list.isSigned());
    QSet<QString> named;
    for (const UpdateList::Entry &entry : entries)
        named.insert(entry.stagingKey);
    StagedUpdate::removeUnnamed(named);
    m_cache = StateCache::load();
    hashInPlace(entries);
    m_removals = m_cache.dropped(named);
    for (const UpdateList::Entry &entry : entries) {
        // With a signed list, a file the list does not pin by its hash could
        // be anything; so could any file of a list that failed its check.
        if (entry.refusal)
            fileFailed(entry.fileName, entry.refusal);
        else if (m_list.isSigned() && (!m_listTimestamp || !entry.expected.sha256))
            fileFailed(entry.fileName, "a signed list must pin it, and the list must verify");
        else
            startFile(entry);
        yield();
    }
    setPhase(Phase::Downloading);
    finishIfSettled();
}

// Which listed files are already in place. A file whose stamp the state
// cache knows is not read again; the others are hashed on as many threads as
// the machine has cores, off the window's thread.
void UpdateRun::hashInPlace(const QList<UpdateList::Entry> &entries)
{
    QList<const UpdateList::Entry *> unknown;
    QList<FileCheck> checks;
    for (const UpdateList::Entry &entry : entries) {
        const ExpectedFile &pin = entry.expected;
        if (entry.refusal || !pin.size || !pin.sha256 || !SystemFiles::isRegularFile(entry.target))
            continue;
        if (!m_verifyAll && m_cache.vouchesFor(entry.relative, *pin.size, *pin.sha256)) {
            m_inPlace.insert(entry.relative);
        } else {
            unknown.append(&entry);
            checks.append({entry.target, *pin.size, *pin.sha256});
        }
    }
    const QList<bool> matching = filesMatch(checks, m_waitForever);
    for (qsizetype n = 0; n < unknown.size(); ++n) {
        if (matching.value(n)) {
            m_inPlace.insert(unknown[n]->relative);
            m_cache.record(unknown[n]->relative, *unknown[n]->expected.sha256, false);
        }
    }
}

void UpdateRun::startFile(const UpdateList::Entry &entry)
{
    const QString &fileName = entry.fileName;
    const ExpectedFile &expected = entry.expected;
    const QString suffix = entry.savePath + QStringLiteral("\\") + fileName;
    // Two spellings of one file ("\data" and "/data\") are one staged file.
    const QString &stagingKey = entry.stagingKey;
    const QString staged = StagedUpdate::stagedPath(stagingKey);
    const QString key = FileNameGuard::normalised(staged);
    // Only what changed is fetched: a file already in place, or already
    // staged by an earlier run, is taken when it is what the list pins.
    if (expected.sha256)
        m_pinned.insert(stagingKey, *expected.sha256);
    if (expected.size && expected.sha256) {
        const bool inPlace = m_inPlace.contains(entry.relative);
        if (inPlace ||
            filesMatch({{staged, *expected.size, *expected.sha256}}, m_waitForever).value(0) ||
            copiedLocally(entry, staged)) {
            ++m_upToDate;
            if (!inPlace)
                m_moves.insert(stagingKey, suffix);
            return;
        }
    }
    // Files arrive in the staging folder; the game folder changes only
    // when the whole update has arrived.
    if (!StagedUpdate::makeStagingFolders(stagingKey, &m_stagingFolders))
        return fileFailed(fileName, "its staging folder cannot be made");
    emit logLine(QStringLiteral("Downloading ") + fileName);
    m_pendingFiles.insert(key, fileName);
    m_moves.insert(stagingKey, suffix);
    m_erroredTargets.remove(staged);
    if (!entry.chunksSha256.isEmpty() && expected.size && expected.sha256 &&
        !m_wholeOnly.contains(serverOf(parseAddress(entry.url))))
        startDelta(entry, staged);
    else
        fetchWhole(entry, staged);
}

// A file whose content the game already holds elsewhere (moved or renamed
// since the last update, or listed twice) is copied, not fetched: the copy
// is staged only when its bytes are the ones pinned.
bool UpdateRun::copiedLocally(const UpdateList::Entry &entry, const QString &staged)
{
    const ExpectedFile &expected = entry.expected;
    for (const QString &relative : m_cache.holding(*expected.sha256)) {
        if (relative == entry.relative ||
            !StagedUpdate::makeStagingFolders(entry.stagingKey, &m_stagingFolders))
            continue;
        const QFuture<bool> copied = QtConcurrent::run(copyMatching, gamePath(relative), staged,
                                                       *expected.size, *expected.sha256);
        m_waitForever([&] { return copied.isFinished(); });
        if (copied.result())
            return true;
    }
    return false;
}

// Only the chunks of a large file that the player lacks travel; the bar
// counts them, not the file's size.
void UpdateRun::startDelta(const UpdateList::Entry &entry, const QString &staged)
{
    // From the base that serves best so far, as a whole read would start.
    QString url = entry.url, chunksUrl = entry.chunksUrl;
    if (const std::optional<QString> base = m_mirrors.untried({});
        base && m_mirrors.covers(url) && m_mirrors.covers(chunksUrl)) {
        url = m_mirrors.rebased(url, *base);
        chunksUrl = m_mirrors.rebased(chunksUrl, *base);
    }
    auto *delta = new DeltaFile(Downloader2(),
                                {url,
                                 chunksUrl,
                                 entry.chunksSha256,
                                 *entry.expected.size,
                                 *entry.expected.sha256,
                                 staged,
                                 {entry.target, staged, KeptPartial::bodyPath(staged)}},
                                m_wholeOnly, this);
    m_deltas.append(delta);
    connect(delta, &DeltaFile::progress, this, [this, staged](qint64 fetched, qint64 toFetch) {
        downloadProgress(fetched, toFetch, staged);
    });
    connect(delta, &DeltaFile::finished, this, [this, entry, staged](DeltaFile::Outcome outcome) {
        if (m_phase == Phase::Stopped || m_phase == Phase::Failed)
            return;
        if (outcome == DeltaFile::Outcome::Whole)
            return fetchWhole(entry, staged);
        downloadComplete(entry.expected.size.value_or(0), staged);
    });
    delta->start();
}

void UpdateRun::fetchWhole(const UpdateList::Entry &entry, const QString &staged)
{
    const ExpectedFile &expected = entry.expected;
    const QString key = FileNameGuard::normalised(staged);
    // A file cut short keeps what arrived for the next run to continue, but
    // only where the list pins it by its hash: bytes of two different bodies
    // joined together must not pass unseen.
    m_reads.insert(key, {entry.url,
                         staged,
                         {.size = expected.size,
                          .sha256 = expected.sha256,
                          .keepPartial = expected.sha256.has_value(),
                          .flushedLater = true},
                         {}});
    beginRead(key);
    throwIfClosed();
    if (m_pendingFiles.contains(key) && !Downloader2().isInFlight(staged)) {
        // Refused at start: the Downloader has shown its own box.
        m_pendingFiles.remove(key);
        fileFailed(entry.fileName, "the Downloader refused it");
        finishIfSettled();
    }
}

void UpdateRun::fileFailed(const QString &fileName, const char *why)
{
    qCInfo(lcRun) << fileName << "failed:" << why;
    ++m_failedFiles;
    emit logLine(QStringLiteral("Failed to download ") + fileName);
}

void UpdateRun::downloadError(const QString &SaveFile)
{
    if (m_phase == Phase::Stopped || m_phase == Phase::Failed)
        return;
    m_erroredTargets.insert(SaveFile);
    m_list.transferFailed(SaveFile);
}

void UpdateRun::downloadComplete(qint64, const QString &SaveFile)
{
    if (m_phase == Phase::Stopped || m_phase == Phase::Failed)
        return;
    const bool failed = m_erroredTargets.remove(SaveFile);
    const auto pending = m_pendingFiles.constFind(FileNameGuard::normalised(SaveFile));
    if (pending == m_pendingFiles.cend())
        return;
    if (failed && failOver(pending.key(), m_failures.take(SaveFile)))
        return;
    const QString fileName = pending.value();
    m_pendingFiles.erase(pending);
    if (failed)
        fileFailed(fileName, "its transfer failed (see updater.download)");
    finishIfSettled();
}

void UpdateRun::addMirrors(const QString &value, const char *where)
{
    if (const std::optional<QStringList> bases = MirrorSet::parse(value))
        m_mirrors.add(*bases);
    else
        qCInfo(lcRun).noquote() << "the Mirrors of" << where
                                << "name a base that is not an http or https address; "
                                   "none of them is used:"
                                << value;
}

void UpdateRun::beginRead(const QString &key)
{
    FileRead &read = m_reads[key];
    QString url = read.url;
    if (m_mirrors.covers(url)) {
        // Below the first base: at the first one this file has not failed at,
        // in the order that has the bases which failed other reads last.
        if (const std::optional<QString> base = m_mirrors.untried(read.tried)) {
            read.tried.append(*base);
            url = m_mirrors.rebased(url, *base);
        }
    }
    ReadExpectation expected = read.expected;
    expected.elsewhere = m_mirrors.covers(read.url) && m_mirrors.untried(read.tried).has_value();
    Downloader2().BeginDownload(url, read.staged, expected);
}

bool UpdateRun::failOver(const QString &key, ReadFailure why)
{
    const auto read = m_reads.find(key);
    if (read == m_reads.end() || read->tried.isEmpty() || !MirrorSet::anotherMayServe(why))
        return false;
    m_mirrors.demote(read->tried.last());
    if (!m_mirrors.untried(read->tried))
        return false;
    qCInfo(lcRun) << read->staged << "failed at" << read->tried.last() << "; trying the next base";
    m_erroredTargets.remove(read->staged);
    beginRead(key);
    return Downloader2().isInFlight(read->staged);
}

// Once the last file transfer has settled: only an update whose every file
// arrived is committed, so a failed one leaves the game as it was (its
// arrived files stay staged) and is offered again. The log claims the update
// complete only once the files are in place and recorded.
void UpdateRun::finishIfSettled()
{
    if (m_phase != Phase::Downloading || !m_pendingFiles.isEmpty())
        return;
    if (m_upToDate > 0)
        emit logLine(QString::number(m_upToDate) + QStringLiteral(" Files Up to Date"));
    if (m_failedFiles == 0) {
        commit();
    } else {
        emit logLine(QStringLiteral("Finished......."));
        emit logLine(QString::number(m_failedFiles) +
                     QStringLiteral(" Files Failed, Update Will Be Offered Again"));
    }
    m_cache.save();
    setBarValue(m_barMax);
    setPhase(Phase::Ended);
}

// A commit that cannot replace a target, or cannot write its journal (a full
// disk), changes nothing; one cut short after the journal is finished at the
// next start.
void UpdateRun::commit()
{
    QList<StagedUpdate::Move> moves;
    for (auto it = m_moves.cbegin(); it != m_moves.cend(); ++it)
        moves.append({it.key(), it.value()});
    for (const QString &relative : std::as_const(m_removals)) {
        moves.append({QString(), QLatin1Char('/') + relative});
        emit logLine(QStringLiteral("Removing ") + QDir::toNativeSeparators(relative));
    }
    const StagedUpdate::CommitResult result =
        StagedUpdate::commit({m_recordDate, m_recordTime, m_listTimestamp, m_settings}, moves);
    if (result.outcome == StagedUpdate::Outcome::Committed) {
        // What the commit put in place is known from now on; what it
        // removed is not the updater's any more.
        for (auto it = m_moves.cbegin(); it != m_moves.cend(); ++it)
            if (const auto relative = FileNameGuard::relativeTarget(it.value()))
                m_cache.record(*relative, m_pinned.value(it.key()), true);
        for (const QString &relative : std::as_const(m_removals))
            m_cache.forget(relative);
    }
    if (!result.reason.isEmpty())
        qCInfo(lcRun).noquote() << "the commit stopped:" << result.reason;
    for (const QString &line : result.logLines())
        emit logLine(line);
}

QMap<QString, QString> UpdateRun::listSettings() const
{
    QMap<QString, QString> settings;
    QString problem;
    for (const QString &key : ListFormat::settingKeys()) {
        const QString value =
            ReadIni(updatesIniPath(), QLatin1String(ListFormat::Settings), key).trimmed();
        if (value.isEmpty())
            continue;
        if (problem.isEmpty())
            problem = ListFormat::settingProblem(key, value);
        settings.insert(key, value);
    }
    if (settings.isEmpty())
        return {};
    // Trust on first use: a player without a key takes one only from a list
    // whose server proved who it is (TLS is always verified, and a redirect
    // to plain http refused). Over http anybody on the way could hand him a
    // key of their own, and every later list with it.
    const bool firstKey = !m_list.isSigned() &&
                          settings.contains(QLatin1String(ListFormat::PublicKey)) &&
                          m_list.takenFrom().startsWith(QLatin1String("https://"));
    if (!m_list.isSigned() && !firstKey)
        problem = settings.contains(QLatin1String(ListFormat::PublicKey))
                      ? QStringLiteral("a PublicKey from a list not fetched over https is not "
                                       "taken")
                      : QStringLiteral("the list is not signed");
    else if (m_list.isSigned() && !m_listTimestamp)
        problem = QStringLiteral("the list does not verify");
    if (problem.isEmpty())
        return settings;
    qCInfo(lcRun).noquote() << "the list's settings are ignored:" << problem;
    return {};
}
