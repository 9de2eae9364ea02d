#include "update/UpdateRun.h"

#include "download/Address.h"
#include "download/Downloader.h"
#include "download/Inet.h"
#include "download/ModalBox.h"
#include "profile/NumericValue.h"
#include "profile/ProgramFolder.h"
#include "profile/SectionCount.h"
#include "profile/UpdateFailure.h"
#include "profile/VerifyDir.h"
#include "profile/modTypes.h"
#include "update/FileNameGuard.h"
#include "update/FileStamp.h"
#include "update/RunLock.h"
#include "update/SignedList.h"
#include "update/UpdateWindow.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QScopeGuard>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <limits>

namespace
{

const QString General = QStringLiteral("GENERAL");

QString FloatText(float value)
{
    // Shortest form with at most seven significant digits, exponent in
    // capitals: 10.01 -> "10.01", 100 -> "100", 104857600 -> "1.048576E+08".
    return QString::number(double(value), 'g', 7).toUpper();
}

int FileCount(double totalFiles)
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
QString LoggedGreeting(QString greeting)
{
    if (greeting.size() <= UpdateRun::MaxGreetingLength)
        return greeting;
    qsizetype cut = UpdateRun::MaxGreetingLength;
    if (greeting.at(cut - 1).isHighSurrogate())
        --cut;
    greeting.truncate(cut);
    return greeting;
}

} // namespace

UpdateRun::UpdateRun(UpdateWindow &window, QObject *parent)
    : QObject(parent), m_window(window), m_lock(std::make_unique<RunLock>())
{
}

UpdateRun::~UpdateRun() = default;

void UpdateRun::ThrowIfClosed() const
{
    if (m_window.IsClosed())
        throw Abandoned{};
}

void UpdateRun::Yield()
{
    QCoreApplication::processEvents();
    ThrowIfClosed();
}

// Yields until `settled` holds or the deadline has passed. Each yield sleeps
// until something happens (a network event, a timer tick, a click) instead
// of spinning; the wake-up timer lets the wait see its deadline even when
// nothing else happens.
void UpdateRun::WaitUntil(const std::function<bool()> &settled, QDeadlineTimer deadline)
{
    QTimer wakeUp;
    wakeUp.start(50);
    while (!settled() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ThrowIfClosed();
    }
}

void UpdateRun::ConnectDownloader()
{
    if (m_connected)
        return;
    m_connected = true;
    connect(&m_window.Downloader2(), &Downloader::DownloadError, this, &UpdateRun::downloadError);
    connect(&m_window.Downloader2(), &Downloader::DownloadComplete, this,
            &UpdateRun::downloadComplete);
}

template <typename Steps> void UpdateRun::RunOnItsOwn(Steps steps)
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
    RunOnItsOwn([this] { CheckLastUpdateSteps(); });
}

void UpdateRun::UpdateFiles()
{
    RunOnItsOwn([this] { UpdateFilesSteps(); });
}

void UpdateRun::RetrieveUpdateList()
{
    m_inRun = true;
    const auto runEnded = qScopeGuard([this] { m_inRun = false; });
    try {
        if (!m_lock->Take()) {
            // Another updater works in this folder: leave every file to it.
            m_abandoned = true;
            ShowModalBox(m_window.Widget(),
                         QStringLiteral("Another update is running in this folder."),
                         QStringLiteral("Update Running"), BoxIcon::None);
            if (!m_window.IsClosed())
                m_window.CloseWindow();
            return;
        }
        ConnectDownloader();
        const QString hello = ReadIni(InitIniPath(), General, QStringLiteral("Hello"));
        QString greeting;
        try {
            greeting = Inet::OpenURL(hello);
        } catch (const InetError &error) {
            throw UpdateFailure(error.what());
        }
        ThrowIfClosed();
        m_window.AddText(LoggedGreeting(greeting));
        m_window.AddText(QStringLiteral("Downloading updates.ini, please wait..."));
        Yield();

        const QString listUrl = ReadIni(InitIniPath(), General, QStringLiteral("UpdateFileURL")) +
                                QStringLiteral("/updates.txt");
        m_publicKey = ReadIni(InitIniPath(), General, QStringLiteral("PublicKey"));
        const QString listTarget = Signed() ? SignedList::ArrivingListPath() : UpdatesIniPath();
        m_window.Downloader2().BeginDownload(listUrl, listTarget);
        ThrowIfClosed();
        if (!m_window.Downloader2().IsInFlight(listTarget) &&
            !m_erroredTargets.contains(listTarget))
            ListFailed();
        if (Signed()) {
            m_window.Downloader2().BeginDownload(listUrl + QStringLiteral(".minisig"),
                                                 SignedList::ArrivingSignaturePath());
            ThrowIfClosed();
        }
        m_window.ShowBar();
        m_window.AddText(QStringLiteral("Receiving Update File"));

        CheckLastUpdateSteps();

        if (m_window.LastUpdateTime == m_window.NewUpdateTime &&
            m_window.LastUpdateDate == m_window.NewUpdateDate) {
            ClosingBlock();
            return;
        }
        m_window.AddText(ReadIni(UpdatesIniPath(), General, QStringLiteral("TotalFiles")) +
                         QStringLiteral(" Files Found..."));
        if (NumericValue(ReadIni(UpdatesIniPath(), General, QStringLiteral("TotalFiles"))) > 0)
            UpdateFilesSteps();
        else
            ClosingBlock();
    } catch (const Abandoned &) {
        m_abandoned = true;
    } catch (const std::exception &) {
        m_abandoned = true;
        if (m_window.IsClosed())
            return;
        ShowModalBox(m_window.Widget(), QStringLiteral("Update Failed, Shutting Down."),
                     QStringLiteral("Update Failed"), BoxIcon::None);
        if (!m_window.IsClosed())
            m_window.CloseWindow();
    }
}

void UpdateRun::ClosingBlock()
{
    m_window.EnableDone();
    m_window.AddText(QStringLiteral("Finished......."));
    m_window.AddText(QStringLiteral("No Files to Update"));
    m_window.SetBarValue(m_window.BarMax());
}

bool UpdateRun::ListSettled()
{
    if (!Signed())
        return !m_window.Downloader2().IsInFlight(UpdatesIniPath());
    if (m_window.Downloader2().IsInFlight(SignedList::ArrivingListPath()) ||
        m_window.Downloader2().IsInFlight(SignedList::ArrivingSignaturePath()))
        return false;
    // Once both have settled, the pair is checked once; the check reads
    // updates.ini only after that, so it never sees a list that failed.
    if (!m_listChecked) {
        m_listChecked = true;
        const bool arrived = !m_erroredTargets.contains(SignedList::ArrivingListPath()) &&
                             !m_erroredTargets.contains(SignedList::ArrivingSignaturePath());
        if (!arrived || !SignedList::Adopt(m_publicKey, RecordedListTimestamp()))
            ListFailed();
    }
    return true;
}

bool UpdateRun::Signed() const
{
    return !m_publicKey.isEmpty();
}

QString UpdateRun::RecordedListTimestamp() const
{
    return ReadIni(InitIniPath(), General, QStringLiteral("ListTimestamp"));
}

void UpdateRun::ListFailed()
{
    if (std::exchange(m_listFailureShown, true))
        return;
    m_window.AddText(QStringLiteral("Failed to download updates.ini"));
}

// Loads the four date and time fields; true when the no-files exit was taken.
bool UpdateRun::ReadingStep()
{
    if (!(NumericValue(ReadIni(UpdatesIniPath(), General, QStringLiteral("TotalFiles"))) > 0)) {
        ClosingBlock();
        return true;
    }
    m_window.LastUpdateDate = ReadIni(InitIniPath(), General, QStringLiteral("LastUpdate"));
    m_window.LastUpdateTime = ReadIni(InitIniPath(), General, QStringLiteral("LastUpdateTime"));
    m_window.NewUpdateDate = ReadIni(UpdatesIniPath(), General, QStringLiteral("Date"));
    m_window.NewUpdateTime = ReadIni(UpdatesIniPath(), General, QStringLiteral("Time"));
    return false;
}

void UpdateRun::ShowPassProgress(int pass)
{
    const float max = m_window.BarMax();
    m_window.SetBarValue(float(double(max) / 10.0 + double(pass) / 100.0));
    const float value = m_window.BarValue();
    const QString shown = FloatText(value).left(value < 100.0f ? 3 : 4);
    m_window.SetProgressText(shown + QStringLiteral(" / ") + FloatText(m_window.BarMax()));
}

void UpdateRun::CheckLastUpdateSteps()
{
    ConnectDownloader();
    const QDeadlineTimer listDeadline(ListWaitMs);
    m_window.AddText(QStringLiteral("Update file received. Checking Information...."));

    // The reading step runs only once the update-list transfer has settled,
    // so that the check sees the list this run fetches, not the one before.
    // After that it runs again only when a profile has changed since: a
    // reading step on unchanged files would load the same four texts.
    FileStamp initStamp(InitIniPath());
    FileStamp listStamp(UpdatesIniPath());
    const auto profilesChanged = [&] {
        const bool initChanged = initStamp.Changed();
        return listStamp.Changed() || initChanged;
    };
    bool readAfterSettling = false;
    for (int pass = 1; pass <= CheckPasses; ++pass) {
        readAfterSettling = ListSettled();
        if (readAfterSettling && profilesChanged() && ReadingStep())
            return;
        Yield();
        ShowPassProgress(pass);
    }
    m_window.SetBarValue(100.0f);
    m_window.SetProgressText(FloatText(m_window.BarValue()) + QStringLiteral(" / ") +
                             FloatText(m_window.BarMax()));

    if (readAfterSettling)
        return;
    WaitUntil([this] { return ListSettled(); }, listDeadline);
    ReadingStep();
}

void UpdateRun::UpdateFilesSteps()
{
    ConnectDownloader();
    const int listed =
        FileCount(NumericValue(ReadIni(UpdatesIniPath(), General, QStringLiteral("TotalFiles"))));
    // A list cannot hold more files than it has sections: a hostile
    // "TotalFiles" near 2^31 would otherwise keep the run starting (and
    // failing) transfers for days. Files it only claims count as failed.
    const int count = int(std::min<qsizetype>(listed, SectionCount(UpdatesIniPath())));
    if (listed > count)
        m_failedFiles += listed - count;
    // The record names the list whose files this loop installs, even when
    // another list lands in updates.ini before the last file has settled.
    m_recordDate = ReadIni(UpdatesIniPath(), General, QStringLiteral("Date"));
    m_recordTime = ReadIni(UpdatesIniPath(), General, QStringLiteral("Time"));
    // The list in place may be one that arrived in an earlier run: it is
    // checked again, with its kept signature, before a file of it is fetched.
    if (Signed()) {
        m_listTimestamp = SignedList::Check(UpdatesIniPath(), SignedList::SignaturePath(),
                                            m_publicKey, RecordedListTimestamp());
        if (!m_listTimestamp)
            ListFailed();
    }
    for (qint64 number = 1; number <= count; ++number) {
        const QString section = QStringLiteral("FILE") + QString::number(number);
        const QString url = ReadIni(UpdatesIniPath(), section, QStringLiteral("URL"));
        const QString savePath = ReadIni(UpdatesIniPath(), section, QStringLiteral("SavePath"));
        const QString fileName = ReadIni(UpdatesIniPath(), section, QStringLiteral("FileName"));
        const ExpectedFile expected =
            ParseExpectedFile(ReadIni(UpdatesIniPath(), section, QStringLiteral("Size")),
                              ReadIni(UpdatesIniPath(), section, QStringLiteral("SHA256")));
        // With a signed list, a file the list does not pin by its hash could be
        // anything; so could any file of a list that failed its check.
        if (expected.malformed || (Signed() && (!m_listTimestamp || !expected.sha256)))
            FileFailed(fileName);
        else
            StartFile(url, savePath, fileName, expected);
        Yield();
    }
    m_allFilesStarted = true;
    FinishIfSettled();
}

void UpdateRun::StartFile(const QString &url, const QString &savePath, const QString &fileName,
                          const ExpectedFile &expected)
{
    // Checked here rather than left to the Downloader, whose answer to a bad
    // address is a modal box: a list of many would bury the player in boxes.
    if (!FileNameGuard::StaysInside(savePath) || !FileNameGuard::StaysInside(fileName) ||
        AddressRefusal(url)) {
        FileFailed(fileName);
        return;
    }
    const QString target = ProgramPath(savePath + QStringLiteral("\\") + fileName);
    if (FileNameGuard::IsProtected(target)) {
        FileFailed(fileName);
        return;
    }
    VerifyDir(savePath);
    m_window.AddText(QStringLiteral("Downloading ") + fileName);

    // A second file with the same target waits for the first one, so that
    // every transfer in flight has a file of its own. Two spellings of one
    // file ("\data" and "/data\") are one target.
    const QString key = FileNameGuard::Normalised(target);
    WaitUntil(
        [&] { return !m_pendingFiles.contains(key) && !m_window.Downloader2().IsInFlight(target); },
        QDeadlineTimer(QDeadlineTimer::Forever));

    m_pendingFiles.insert(key, fileName);
    m_erroredTargets.remove(target);
    m_window.Downloader2().BeginDownload(url, target, {expected.size, expected.sha256});
    ThrowIfClosed();
    if (m_pendingFiles.contains(key) && !m_window.Downloader2().IsInFlight(target)) {
        // Refused at start: the Downloader has shown its own box.
        m_pendingFiles.remove(key);
        FileFailed(fileName);
    }
}

void UpdateRun::FileFailed(const QString &fileName)
{
    ++m_failedFiles;
    m_window.AddText(QStringLiteral("Failed to download ") + fileName);
}

void UpdateRun::downloadError(const QString &SaveFile)
{
    if (m_abandoned || m_window.IsClosed())
        return;
    m_erroredTargets.insert(SaveFile);
    if (SaveFile == UpdatesIniPath())
        ListFailed();
}

void UpdateRun::downloadComplete(qint64, const QString &SaveFile)
{
    if (m_abandoned || m_window.IsClosed())
        return;
    const bool failed = m_erroredTargets.remove(SaveFile);
    const auto pending = m_pendingFiles.constFind(FileNameGuard::Normalised(SaveFile));
    if (pending == m_pendingFiles.cend())
        return;
    const QString fileName = pending.value();
    m_pendingFiles.erase(pending);
    if (failed)
        FileFailed(fileName);
    FinishIfSettled();
}

// Once the last file transfer has settled: the record is written only when
// every listed file was stored, so a failed update is offered again. A record
// that cannot be written (a full disk) leaves init.ini as it was, and the log
// does not claim the update complete.
void UpdateRun::FinishIfSettled()
{
    if (!m_allFilesStarted || !m_pendingFiles.isEmpty() || m_finished || m_abandoned ||
        m_window.IsClosed())
        return;
    m_finished = true;
    m_window.AddText(QStringLiteral("Finished......."));
    if (m_failedFiles == 0) {
        const bool recorded =
            (!m_listTimestamp || WriteIni(InitIniPath(), General, QStringLiteral("ListTimestamp"),
                                          QString::number(*m_listTimestamp))) &&
            WriteIni(InitIniPath(), General, QStringLiteral("LastUpdate"), m_recordDate) &&
            WriteIni(InitIniPath(), General, QStringLiteral("LastUpdateTime"), m_recordTime);
        m_window.AddText(recorded ? QStringLiteral("Update Complete")
                                  : QStringLiteral("Update Not Recorded, Update Will Be "
                                                   "Offered Again"));
    } else {
        m_window.AddText(QString::number(m_failedFiles) +
                         QStringLiteral(" Files Failed, Update Will Be Offered Again"));
    }
    m_window.SetBarValue(m_window.BarMax());
    m_window.EnableDone();
}
