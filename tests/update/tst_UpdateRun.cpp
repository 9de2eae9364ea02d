#include "app/ModalBox.h"
#include "app/frmUpdate.h"
#include "download/Downloader.h"
#include "profile/modTypes.h"
#include "tests/support/TestHttpServer.h"
#include "update/ProgramFolder.h"
#include "update/RunLock.h"
#include "update/SignedList.h"
#include "update/StagedUpdate.h"

#include <QDirIterator>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace
{

const QString RecordedDate = "2026-01-01", RecordedTime = "10:00";
const QString OfferedDate = "2026-12-01", OfferedTime = "18:30 PM";
const QString Greeting = QStringLiteral("Welcome, adventurer!");

// The lines every run writes before the check looks at the list.
const QStringList RunStart = {QString(), Greeting, "Downloading updates.ini, please wait...",
                              "Receiving Update File",
                              "Update file received. Checking Information...."};
const QStringList NothingToUpdate = {"Finished.......", "No Files to Update"};
const QStringList Complete = {"Finished.......", "Update Complete"};
const QStringList OneFile = QStringList{"1 Files Found...", "Downloading a.txt"} + Complete;

QStringList Failed(int files)
{
    return {"Finished.......",
            QString::number(files) + " Files Failed, Update Will Be Offered Again"};
}

// FILE1, FILE2, ... in the order given, each as {URL, SavePath, FileName}.
QByteArray UpdateList(const QString &totalFiles, const QList<QStringList> &files)
{
    QString text = QStringLiteral("[GENERAL]\r\nTotalFiles=%1\r\nDate=%2\r\nTime=%3\r\n")
                       .arg(totalFiles, OfferedDate, OfferedTime);
    for (qsizetype i = 0; i < files.size(); ++i)
        text += QStringLiteral("[FILE%1]\r\nURL=%2\r\nSavePath=%3\r\nFileName=%4\r\n")
                    .arg(QString::number(i + 1), files[i][0], files[i][1], files[i][2]);
    return text.toUtf8();
}

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
}

// Writes to `path` until its file system has no byte left.
void FillDisk(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::Append | QIODevice::Unbuffered))
        return;
    const QByteArray chunk(64 * 1024, 'f');
    while (file.write(chunk) > 0) {
    }
}

// One run to its end, and what it must leave behind.
struct RunCase {
    QByteArray list{}; // this run's list; empty: not served
    QStringList log{}; // after RunStart
    // Every file below the temporary folder but the profiles, by its path
    // from the program folder.
    QMap<QString, QByteArray> files{};
    int boxes = 0;
    QByteArray previousList{}; // updates.ini before the run; empty: none
    int listDelayMs = 0;
    QString listFolder = QStringLiteral("/list"); // "UpdateFileURL"; empty: none
    QString lastDate = RecordedDate, lastTime = RecordedTime;
    QByteArray greeting = Greeting.toUtf8(); // served at "Hello"
    QString greetingLine = Greeting;         // what the log shows of it
    QByteArray listAfterStart{};             // replaces updates.ini while a file is in flight
    // The program folder is a small file system of its own, filled up when
    // the last file has been stored.
    bool diskFullAtEnd = false;
};

} // namespace

Q_DECLARE_METATYPE(RunCase)

// Runs of the whole window against a loopback server, with the program folder
// in a temporary folder and every message box recorded instead of shown.
class tst_UpdateRun : public QObject
{
    Q_OBJECT

    TestHttpServer m_server;
    std::mutex m_mutex; // guards the documents: path -> body and delay
    std::map<std::string, std::pair<std::string, int>> m_documents = {
        {"/hello.txt", {Greeting.toStdString(), 0}},
        {"/files/a.txt", {"alpha", 0}},
        {"/files/b.dat", {"bravo", 0}},
        {"/files/c.map", {"charlie", 0}},
        {"/files/evil", {"[GENERAL]\r\nHello=http://evil.example/\r\n", 0}},
        {"/files/slow", {"slow", 1000}},
        {"/files/held", {"held", 0}}};
    std::atomic<int> m_listRequests{0}, m_helloRequests{0}, m_answered{0};
    std::atomic<bool> m_hold{false}; // keeps "/files/held" from answering
    // path, and " " and its Range if it had one -> times asked, under m_mutex
    std::map<std::string, int> m_requests;

    QString m_mounted;
    std::unique_ptr<QTemporaryDir> m_outer;
    QDir m_program;
    QList<ModalBoxRequest> m_boxes;
    ModalBoxPresenter m_previousPresenter;

    QString Url(const QString &path) const { return m_server.url(path); }
    QString Path(const QString &relative) const { return m_program.filePath(relative); }

    // Every file below the temporary folder, by its path from the program folder.
    QMap<QString, QByteArray> Files() const
    {
        QMap<QString, QByteArray> files;
        QDirIterator it(m_outer->path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            files.insert(m_program.relativeFilePath(path), ReadAll(path));
        }
        return files;
    }

    void ServeList(const QByteArray &body, int delayMs = 0)
    {
        std::lock_guard lock(m_mutex);
        m_documents["/list/updates.txt"] = {body.toStdString(), delayMs};
    }

    void WriteInit(const RunCase &c = {}, const QString &hello = QStringLiteral("/hello.txt"))
    {
        const QString list = c.listFolder.isEmpty() ? "" : Url(c.listFolder);
        WriteFile(Path("updates/init.ini"),
                  QStringLiteral("[GENERAL]\r\nHello=%1\r\nUpdateFileURL=%2\r\nLastUpdate=%3\r\n"
                                 "LastUpdateTime=%4\r\n")
                      .arg(Url(hello), list, c.lastDate, c.lastTime)
                      .toUtf8());
    }

private slots:
    void initTestCase()
    {
        // Unknown paths get 404.
        m_server.server().Get(".*", [this](const httplib::Request &req, httplib::Response &res) {
            std::unique_lock lock(m_mutex);
            m_listRequests += int(req.path == "/list/updates.txt");
            const std::string range = req.get_header_value("Range");
            ++m_requests[req.path + (range.empty() ? "" : " " + range)];
            m_helloRequests += int(req.path == "/hello.txt");
            const auto it = m_documents.find(req.path);
            const bool found = it != m_documents.end();
            const auto [body, delayMs] = found ? it->second : std::pair<std::string, int>();
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            for (int waited = 0; req.path == "/files/held" && m_hold && waited < 30000;
                 waited += 10)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            res.set_content(body, "application/octet-stream");
            // Left unset when found, so that the server library answers a
            // Range with a 206 of that range rather than a 200 that holds it.
            if (!found)
                res.status = 404;
            ++m_answered;
        });
        m_server.start();
    }

    void init()
    {
        {
            std::lock_guard lock(m_mutex);
            m_documents.erase("/list/updates.txt");
            m_documents["/hello.txt"] = {Greeting.toStdString(), 0};
            m_listRequests = 0;
        }
        m_outer = std::make_unique<QTemporaryDir>();
        // The program folder lies two levels down, so that a write that climbs
        // out of it still lands inside the temporary folder, where we see it.
        QVERIFY(m_outer->isValid() && QDir(m_outer->path()).mkpath("a/game/updates"));
        m_program.setPath(m_outer->filePath("a/game"));
        SetProgramFolder(m_program.path());
        m_boxes.clear();
        m_previousPresenter = SetModalBoxPresenter(
            [this](QWidget *, const ModalBoxRequest &request) { m_boxes.append(request); });
    }

    void cleanup()
    {
        m_hold = false;
        if (!m_mounted.isEmpty())
            QProcess::execute("umount", {"--lazy", std::exchange(m_mounted, QString())});
        SetModalBoxPresenter(m_previousPresenter);
        SetProgramFolder(QString());
        m_outer.reset();
    }

    void run_data()
    {
        QTest::addColumn<RunCase>("c");
        const QStringList a = {Url("/files/a.txt"), "", "a.txt"};
        const QList<QStringList> three = {a,
                                          {Url("/files/b.dat"), "\\data\\maps", "b.dat"},
                                          {Url("/files/c.map"), "\\docs", "c.map"}};
        const QByteArray oneOfThree = UpdateList("1", three);
        const QMap<QString, QByteArray> aFile = {{"a.txt", "alpha"}};

        // TotalFiles: positive means the files are offered; their count is
        // rounded half to even. At 0 both the check and the run take the
        // no-files exit.
        QTest::newRow("TotalFiles 0")
            << RunCase{UpdateList("0", three), NothingToUpdate + NothingToUpdate};
        QTest::newRow("TotalFiles 0.4")
            << RunCase{UpdateList("0.4", three), QStringList{"0.4 Files Found..."} + Complete};
        for (const QString count : {"1.5", "2.5"})
            QTest::addRow("%s rounds to 2", qPrintable(count)) << RunCase{
                UpdateList(count, three),
                QStringList{count + " Files Found...", "Downloading a.txt", "Downloading b.dat"} +
                    Complete,
                {{"a.txt", "alpha"}, {"data/maps/b.dat", "bravo"}}};
        // A failed file keeps the record unwritten, so the update is offered
        // again, and the game folder as it was: the file that arrived stays
        // staged for the next run.
        const QMap<QString, QByteArray> aStaged = {{"updates/staging/a.txt", "alpha"}};
        QTest::newRow("file not found")
            << RunCase{UpdateList("2", {a, {Url("/files/gone.dat"), "\\data", "b.dat"}}),
                       QStringList{"2 Files Found...", "Downloading a.txt", "Downloading b.dat",
                                   "Failed to download b.dat"} +
                           Failed(1),
                       aStaged};
        // Regression: a count near 2^31 kept the run starting refused transfers,
        // one box each, for days. No more files are tried than the list has
        // sections (here [GENERAL] and [FILE1]): FILE2 has no section, and
        // its empty address fails it.
        QTest::newRow("hostile TotalFiles") << RunCase{
            UpdateList("2147483647", {a}),
            QStringList{"2147483647 Files Found...", "Downloading a.txt", "Failed to download "} +
                Failed(2147483646),
            aStaged};
        // Each is refused whether it climbs in SavePath or in FileName, names a
        // profile or the program file itself; dots inside names are allowed.
        const QString evil = Url("/files/evil");
        const QString program = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        QTest::newRow("hostile names") << RunCase{
            UpdateList("5", {{evil, "", "..\\..\\x"},
                             {evil, "\\..\\..", "y"},
                             {evil, "\\UPDATES", "Updates.INI"},
                             {evil, "\\.", program.toUpper() + " ."},
                             {a[0], "\\data..ok", "a..b.txt"}}),
            QStringList{"5 Files Found...", "Failed to download ..\\..\\x", "Failed to download y",
                        "Failed to download Updates.INI",
                        "Failed to download " + program.toUpper() + " .", "Downloading a..b.txt"} +
                Failed(4),
            {{"updates/staging/data..ok/a..b.txt", "alpha"}}};
        // Regression: each bad address opened the Downloader's box. Now each
        // is a failed file, and the good one after them is still installed.
        QTest::newRow("bad addresses") << RunCase{
            UpdateList("4", {{"ftp://127.0.0.1/a.txt", "", "f.txt"},
                             {"http:///a.txt", "", "h.txt"},
                             {"files/a.txt", "", "n.txt"},
                             a}),
            QStringList{"4 Files Found...", "Failed to download f.txt", "Failed to download h.txt",
                        "Failed to download n.txt", "Downloading a.txt"} +
                Failed(3),
            aStaged};
        // One target in two spellings: the second waits for the slower first,
        // both settle, and the later one's bytes stay.
        QTest::newRow("one target, two spellings") << RunCase{
            UpdateList("2",
                       {{Url("/files/slow"), "\\data\\", "same.txt"}, {a[0], "/data", "same.txt"}}),
            QStringList{"2 Files Found...", "Downloading same.txt", "Downloading same.txt"} +
                Complete,
            {{"data/same.txt", "alpha"}}};
        // Regression: a long line froze the window for minutes. The log shows
        // at most 64 Ki characters of it, without half a character.
        const QString longLine = QString(65535, 'g') + "\U0001F600" + QString(128 * 1024, 'h');
        QTest::newRow("greeting of one long line") << RunCase{.list = oneOfThree,
                                                              .log = OneFile,
                                                              .files = aFile,
                                                              .greeting = longLine.toUtf8(),
                                                              .greetingLine = QString(65535, 'g')};
        // Regression: the record named a list that landed while the files of
        // the one before were still arriving.
        const QByteArray laterList =
            "[GENERAL]\r\nTotalFiles=0\r\nDate=2027-02-02\r\nTime=09:00\r\n";
        QTest::newRow("list replaced while a file is in flight")
            << RunCase{.list = UpdateList("1", {{Url("/files/slow"), "", "s.txt"}}),
                       .log = QStringList{"1 Files Found...", "Downloading s.txt"} + Complete,
                       .files = {{"s.txt", "slow"}},
                       .listAfterStart = laterList};
        // Regression: on a full disk the record's write put an empty init.ini
        // in place of the player's. Now the commit's journal cannot be
        // written: nothing moves, init.ini stays as it was, the log says so.
        QTest::newRow("disk full as the update ends") << RunCase{
            .list = oneOfThree,
            .log = QStringList{"1 Files Found...", "Downloading a.txt", "Finished.......",
                               "Update Not Recorded, Update Will Be Offered Again"},
            .files = aStaged,
            .diskFullAtEnd = true};
        QTest::newRow("same date and time") << RunCase{.list = oneOfThree,
                                                       .log = NothingToUpdate,
                                                       .lastDate = OfferedDate,
                                                       .lastTime = OfferedTime};
        QTest::newRow("time differs only in case") << RunCase{.list = oneOfThree,
                                                              .log = OneFile,
                                                              .files = aFile,
                                                              .lastDate = OfferedDate,
                                                              .lastTime = OfferedTime.toLower()};
        // Regression: the first pass read the list left by the previous run,
        // before this run's list had arrived, and took the no-files exit from it.
        // Here the check's passes end long before the list comes; it then waits.
        QTest::newRow("slow list, previous one not taken")
            << RunCase{.list = oneOfThree,
                       .log = OneFile,
                       .files = aFile,
                       .previousList = UpdateList("0", {}),
                       .listDelayMs = 2500};
        QTest::newRow("failed list: previous one used")
            << RunCase{.log = QStringList{"Failed to download updates.ini"} + OneFile,
                       .files = aFile,
                       .previousList = oneOfThree};
        // No "UpdateFileURL": the address "/updates.txt" is refused with a box,
        // reported before the bar shows (see run()).
        QTest::newRow("list refused at start")
            << RunCase{.log = NothingToUpdate + NothingToUpdate, .boxes = 1, .listFolder = ""};
    }

    void run()
    {
        QFETCH(RunCase, c);
        if (c.diskFullAtEnd) {
            if (QProcess::execute(
                    "mount", {"-t", "tmpfs", "-o", "size=256k", "tmpfs", m_program.path()}) != 0)
                QSKIP("cannot mount a small tmpfs here (needs root where mount is allowed)");
            m_mounted = m_program.path();
            QVERIFY(m_program.mkpath("updates"));
        }
        {
            std::lock_guard lock(m_mutex);
            m_documents["/hello.txt"] = {c.greeting.toStdString(), 0};
        }
        const QString init = Path("updates/init.ini");
        WriteInit(c);
        const QByteArray initBefore = ReadAll(init);
        if (!c.previousList.isEmpty())
            WriteFile(Path("updates/updates.ini"), c.previousList);
        if (!c.list.isEmpty())
            ServeList(c.list, c.listDelayMs);

        frmUpdate window;
        const QString filler = Path("filler");
        if (c.diskFullAtEnd)
            connect(&window.Downloader2(), &Downloader::DownloadComplete, &window,
                    [&](qint64, const QString &target) {
                        if (target != SignedList::ArrivingListPath())
                            FillDisk(filler);
                    });
        window.Form_Load();
        if (!c.listAfterStart.isEmpty()) {
            QVERIFY(window.Downloader2().InFlight() > 0);
            WriteFile(Path("updates/updates.ini"), c.listAfterStart);
        }
        QTRY_VERIFY_WITH_TIMEOUT(window.DoneEnabled() || window.IsClosed(), 30000);
        QVERIFY(!window.IsClosed());
        QStringList log = RunStart + c.log;
        log[1] = c.greetingLine;
        if (c.listFolder.isEmpty()) // refused at once, before "Receiving Update File"
            log.insert(3, "Failed to download updates.ini");
        QCOMPARE(window.LogText().split("\r\n"), log);
        QCOMPARE(window.BarValue(), window.BarMax());
        QCOMPARE(m_boxes.size(), c.boxes);
        QCOMPARE(m_listRequests, c.listFolder.isEmpty() ? 0 : 1);

        if (c.diskFullAtEnd)
            QVERIFY(QFile::remove(filler));
        QMap<QString, QByteArray> files = Files();
        files.remove("updates/init.ini");
        files.remove("updates/updates.ini");
        files.remove(m_program.relativeFilePath(RunLock::Path()));
        QCOMPARE(files, c.files);
        // The record is written exactly when the log says the update is
        // complete; otherwise init.ini keeps every byte.
        const bool complete = log.endsWith("Update Complete");
        if (complete) {
            QCOMPARE(ReadIni(init, "GENERAL", "LastUpdate"), OfferedDate);
            QCOMPARE(ReadIni(init, "GENERAL", "LastUpdateTime"), OfferedTime);
        } else {
            QCOMPARE(ReadAll(init), initBefore);
        }
    }

    // A second updater started in the folder of a running one shows one box
    // and ends without touching a file or the network; the first one goes on
    // and records its own update.
    void secondRunInSameFolder()
    {
        WriteInit();
        ServeList(UpdateList("1", {{Url("/files/held"), "", "held.txt"}}));
        m_hold = true;
        frmUpdate first;
        first.Form_Load();
        QVERIFY(first.Downloader2().IsInFlight(StagedUpdate::StagedPath("held.txt")));
        // The run has returned and the bar is full, but a file is still in
        // flight: the next tick does not end the update.
        emit first.Downloader2().DownloadProgress(4, 4, QString());
        QSignalSpy ticks(first.findChild<QTimer *>(QStringLiteral("tmrProgress")),
                         &QTimer::timeout);
        QVERIFY(ticks.wait(3000));
        QVERIFY(!first.DoneEnabled());
        const QMap<QString, QByteArray> before = Files();
        QVERIFY(before.contains(m_program.relativeFilePath(RunLock::Path())));
        const int greetings = m_helloRequests;
        {
            frmUpdate second;
            second.Form_Load();
            QVERIFY(second.IsClosed());
            QCOMPARE(second.LogText(), QString());
        }
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes[0].text, QStringLiteral("Another update is running in this folder."));
        QCOMPARE(Files(), before);
        QCOMPARE(m_helloRequests, greetings);

        m_hold = false;
        QTRY_VERIFY_WITH_TIMEOUT(first.DoneEnabled(), 30000);
        QVERIFY(first.LogText().endsWith("Update Complete"));
        QCOMPARE(ReadAll(Path("held.txt")), QByteArray("held"));
        QCOMPARE(ReadIni(Path("updates/init.ini"), "GENERAL", "LastUpdate"), OfferedDate);
        QCOMPARE(m_boxes.size(), 1);
    }

    void greetingFailureEndsRun()
    {
        WriteInit({}, "/missing.txt");
        const QByteArray init = ReadAll(Path("updates/init.ini"));

        frmUpdate window;
        window.Form_Load();
        QVERIFY(window.IsClosed());
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes[0].text, QStringLiteral("Update Failed, Shutting Down."));
        QCOMPARE(m_boxes[0].title, QStringLiteral("Update Failed"));
        QCOMPARE(m_boxes[0].icon, BoxIcon::None);
        QCOMPARE(window.LogText(), QString());
        QCOMPARE(ReadAll(Path("updates/init.ini")), init);
        QCOMPARE(m_listRequests, 0);
    }

    // Cancel while the check waits for the list, or while a file is in flight:
    // the run ends there, and what arrives later changes nothing. The game
    // folder keeps its old file; what arrived stays staged.
    void cancel_data()
    {
        QTest::addColumn<bool>("duringCheck");
        QTest::newRow("during the check") << true;
        QTest::newRow("file in flight") << false;
    }

    void cancel()
    {
        QFETCH(bool, duringCheck);
        WriteInit();
        QVERIFY(m_program.mkpath("data"));
        WriteFile(Path("a.txt"), "old a");
        ServeList(UpdateList("2", {{Url("/files/a.txt"), "", "a.txt"},
                                   {Url("/files/held"), "\\data", "b.dat"}}),
                  duringCheck ? 1500 : 0);
        m_hold = true;

        frmUpdate window;
        auto *cancel = window.findChild<QPushButton *>(QStringLiteral("cmdCancel"));
        if (duringCheck)
            QTimer::singleShot(200, cancel, &QPushButton::click);
        window.Form_Load();
        const QString stagedA = StagedUpdate::StagedPath("a.txt");
        if (!duringCheck) {
            QVERIFY(window.Downloader2().IsInFlight(StagedUpdate::StagedPath("data/b.dat")));
            QTRY_VERIFY(!window.Downloader2().IsInFlight(stagedA));
            cancel->click();
        }
        QVERIFY(window.IsClosed());
        QCOMPARE(window.Downloader2().InFlight(), 0);
        const QString logAtCancel = window.LogText();
        QCOMPARE(logAtCancel.contains("Files Found"), !duringCheck);

        // Let the held answer arrive and every pending event run.
        const int answeredBefore = m_answered;
        m_hold = false;
        QTRY_VERIFY_WITH_TIMEOUT(m_answered > answeredBefore, 10000);
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();

        const QString init = Path("updates/init.ini"), canceled = "Last Update Canceled";
        QCOMPARE(ReadIni(init, "GENERAL", "LastUpdate"), canceled);
        QCOMPARE(ReadIni(init, "GENERAL", "LastUpdateTime"), canceled);
        QCOMPARE(QFile::exists(Path("updates/updates.ini")), !duringCheck);
        QCOMPARE(ReadAll(Path("a.txt")), QByteArray("old a"));
        QVERIFY(!QFile::exists(Path("data/b.dat")));
        QVERIFY(!QFile::exists(StagedUpdate::StagedPath("data/b.dat")));
        QCOMPARE(ReadAll(stagedA), duringCheck ? QByteArray() : QByteArray("alpha"));
        QVERIFY(!QFile::exists(StagedUpdate::JournalPath()));
        QCOMPARE(window.LogText(), logAtCancel);
        QVERIFY(!window.DoneEnabled());
        QVERIFY(m_boxes.isEmpty());
    }

    // One update of 30 pinned files over three runs. A file the server lacks
    // fails the whole update: the game folder keeps every byte and nothing is
    // recorded. The next run fetches only that file and a staged one that no
    // longer matches, and installs all 30 at once. A later update with 3
    // changed files fetches exactly those 3.
    void wholeUpdateAcrossRuns()
    {
        WriteInit();
        const int count = 30;
        QMap<QString, QByteArray> release;
        for (int i = 0; i < count; ++i) {
            const QString name = QStringLiteral("f%1.dat").arg(i);
            WriteFile(Path(name), "old " + name.toUtf8());
            release.insert(name, QByteArray(1000 + i, char('a' + i % 26)));
        }
        const auto serve = [&](const QMap<QString, QByteArray> &files, const QString &missing,
                               const QString &date) {
            std::lock_guard lock(m_mutex);
            QString list = QStringLiteral("[GENERAL]\r\nTotalFiles=%1\r\nDate=%2\r\nTime=1\r\n")
                               .arg(files.size())
                               .arg(date);
            int number = 0;
            for (auto it = files.cbegin(); it != files.cend(); ++it) {
                const std::string path = ("/rel/" + it.key()).toStdString();
                if (it.key() == missing)
                    m_documents.erase(path);
                else
                    m_documents[path] = {it.value().toStdString(), 0};
                list += QStringLiteral("[FILE%1]\r\nURL=%2\r\nSavePath=\r\nFileName=%3\r\n"
                                       "Size=%4\r\nSHA256=%5\r\n")
                            .arg(++number)
                            .arg(Url(QString::fromStdString(path)), it.key())
                            .arg(it.value().size())
                            .arg(QString::fromLatin1(
                                QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256)
                                    .toHex()));
            }
            m_documents["/list/updates.txt"] = {list.toStdString(), 0};
            m_requests.clear();
        };
        const auto runToEnd = [&] {
            frmUpdate window;
            window.Form_Load();
            [&] { QTRY_VERIFY_WITH_TIMEOUT(window.DoneEnabled(), 30000); }();
            return window.LogText();
        };
        const auto fetched = [&] {
            std::lock_guard lock(m_mutex);
            QStringList paths;
            for (const auto &[path, times] : m_requests)
                if (path.rfind("/rel/", 0) == 0)
                    paths += QString::fromStdString(path).mid(5) + "x" + QString::number(times);
            return paths;
        };
        const auto gameFiles = [&] {
            QMap<QString, QByteArray> files = Files();
            for (auto it = files.begin(); it != files.end();)
                it = it.key().startsWith("updates/") ? files.erase(it) : std::next(it);
            return files;
        };

        // Run 1: f7 is missing on the server. A part of f7 kept by an
        // earlier run stays for the next one to continue; the part of a file
        // the list no longer names goes.
        const QMap<QString, QByteArray> before = gameFiles();
        const QByteArray initBefore = ReadAll(Path("updates/init.ini"));
        const QString keptF7 = StagedUpdate::StagedPath("f7.dat.partial");
        const QString keptGone = StagedUpdate::StagedPath("gone.dat.partial");
        QVERIFY(QDir().mkpath(StagedUpdate::StagingFolder()));
        for (const QString &kept : {keptF7, keptGone}) {
            WriteFile(kept, release["f7.dat"].first(500));
            WriteFile(kept + ".meta",
                      "updater partial body 1\n" + Url("/rel/f7.dat").toUtf8() + "\n\"v1\"\n\n");
        }
        serve(release, "f7.dat", "2026-12-01");
        QString log = runToEnd();
        // The failure may arrive while later files are still being started.
        QVERIFY2(log.contains("\r\nFailed to download f7.dat\r\n") &&
                     log.endsWith("\r\nFinished.......\r\n"
                                  "1 Files Failed, Update Will Be Offered Again"),
                 qPrintable(log));
        QCOMPARE(gameFiles(), before);
        QCOMPARE(ReadAll(Path("updates/init.ini")), initBefore);
        QCOMPARE(QDir(StagedUpdate::StagingFolder()).entryList(QDir::Files).size(), count + 1);
        QCOMPARE(ReadAll(keptF7), release["f7.dat"].first(500));
        QVERIFY(QFile::exists(keptF7 + ".meta"));
        QVERIFY(!QFile::exists(keptGone) && !QFile::exists(keptGone + ".meta"));

        // Run 2: f7 is back, and continues from its kept part (its digest
        // covers the whole file); the staged f3 was damaged in between.
        WriteFile(StagedUpdate::StagedPath("f3.dat"), QByteArray(1003, 'X'));
        serve(release, QString(), "2026-12-01");
        log = runToEnd();
        QVERIFY2(log.endsWith("Finished.......\r\nUpdate Complete"), qPrintable(log));
        QCOMPARE(log.count("Up to date "), count - 2);
        QCOMPARE(fetched(), (QStringList{"f3.datx1", "f7.dat bytes=500-x1"}));
        QCOMPARE(gameFiles(), release);
        QVERIFY(!QFile::exists(StagedUpdate::StagingFolder()));
        QVERIFY(!QFile::exists(StagedUpdate::JournalPath()));
        QCOMPARE(ReadIni(Path("updates/init.ini"), "GENERAL", "LastUpdate"), "2026-12-01");

        // Run 3: three files change.
        for (const QString name : {"f2.dat", "f11.dat", "f29.dat"})
            release[name] = "changed " + name.toUtf8();
        serve(release, QString(), "2026-12-02");
        log = runToEnd();
        QVERIFY2(log.endsWith("Update Complete"), qPrintable(log));
        QCOMPARE(fetched(), (QStringList{"f11.datx1", "f2.datx1", "f29.datx1"}));
        QCOMPARE(gameFiles(), release);
        QCOMPARE(ReadIni(Path("updates/init.ini"), "GENERAL", "LastUpdate"), "2026-12-02");
    }
};

QTEST_MAIN(tst_UpdateRun)
#include "tst_UpdateRun.moc"
