#include "app/frmUpdate.h"
#include "download/Downloader.h"
#include "download/ModalBox.h"
#include "profile/ProgramFolder.h"
#include "profile/modTypes.h"
#include "tests/support/TestHttpServer.h"

#include <QDirIterator>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace
{

const QString RecordedDate = QStringLiteral("2026-01-01");
const QString RecordedTime = QStringLiteral("10:00");
const QString OfferedDate = QStringLiteral("2026-12-01");
const QString OfferedTime = QStringLiteral("18:30 PM");
const QString Greeting = QStringLiteral("Welcome, adventurer!");

// The lines every run writes before the check looks at the list.
const QStringList RunStart = {QString(), Greeting,
                              QStringLiteral("Downloading updates.ini, please wait..."),
                              QStringLiteral("Receiving Update File"),
                              QStringLiteral("Update file received. Checking Information....")};

const QStringList NothingToUpdate = {QStringLiteral("Finished......."),
                                     QStringLiteral("No Files to Update")};

struct ListedFile {
    QString section;
    QString url;
    QString savePath;
    QString fileName;
};

QByteArray UpdateList(const QString &totalFiles, const QString &date, const QString &time,
                      const QList<ListedFile> &files)
{
    QString text = QStringLiteral("[GENERAL]\r\nTotalFiles=%1\r\nDate=%2\r\nTime=%3\r\n")
                       .arg(totalFiles, date, time);
    for (const ListedFile &file : files)
        text += QStringLiteral("[%1]\r\nURL=%2\r\nSavePath=%3\r\nFileName=%4\r\n")
                    .arg(file.section, file.url, file.savePath, file.fileName);
    return text.toUtf8();
}

QStringList LogLines(const frmUpdate &window)
{
    return window.LogText().split(QStringLiteral("\r\n"));
}

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// Runs of the whole window against a loopback server, with the program folder
// in a temporary folder and every message box recorded instead of shown.
class tst_UpdateRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void filesOfTheList_data();
    void filesOfTheList();
    void sameDateAndTimeFetchesNothing();
    void timeDifferingOnlyInCaseIsOffered();
    void checkWaitsForSlowList();
    void previousListIsNotTakenForThisRunsList();
    void failedListIsLoggedAndPreviousListUsed();
    void refusedListStartIsLogged();
    void greetingFailureEndsRun_data();
    void greetingFailureEndsRun();
    void failedFileLeavesRecordAndIsOfferedAgain();
    void cancelWhileFilesInFlightWritesNothingMore();
    void cancelDuringCheckEndsRun();
    void hostileNamesStayInsideProgramFolder();
    void duplicateTargetsBothSettle();

private:
    // Serves m_documents by path; a path in m_delays answers after that wait.
    void Serve(const QString &path, const QByteArray &body, int delayMs = 0);
    QString Url(const QString &path) const { return m_server->url(path); }
    void WriteInit(const QString &lastDate = RecordedDate, const QString &lastTime = RecordedTime);
    QString Path(const QString &relative) const { return m_program->filePath(relative); }
    QList<ListedFile> FourFiles();
    std::unique_ptr<frmUpdate> RunUntilSettled();

    std::unique_ptr<TestHttpServer> m_server;
    std::mutex m_mutex;
    std::map<std::string, std::pair<std::string, int>> m_documents;
    std::map<std::string, int> m_requests;
    std::atomic<int> m_answered{0};

    std::unique_ptr<QTemporaryDir> m_outer;
    std::unique_ptr<QDir> m_program;
    QList<ModalBoxRequest> m_boxes;
    ModalBoxPresenter m_previousPresenter;
};

void tst_UpdateRun::initTestCase()
{
    m_server = std::make_unique<TestHttpServer>();
    m_server->server().Get(".*", [this](const httplib::Request &req, httplib::Response &res) {
        std::pair<std::string, int> document;
        bool found = false;
        {
            std::lock_guard lock(m_mutex);
            ++m_requests[req.path];
            const auto it = m_documents.find(req.path);
            if (it != m_documents.end()) {
                document = it->second;
                found = true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(document.second));
        if (found)
            res.set_content(document.first, "application/octet-stream");
        else
            res.status = 404;
        ++m_answered;
    });
    m_server->start();
}

void tst_UpdateRun::init()
{
    {
        std::lock_guard lock(m_mutex);
        m_documents.clear();
        m_requests.clear();
    }
    m_outer = std::make_unique<QTemporaryDir>();
    QVERIFY(m_outer->isValid());
    // The program folder lies two levels down, so that a write that climbs
    // out of it still lands inside the temporary folder, where we see it.
    QVERIFY(QDir(m_outer->path()).mkpath(QStringLiteral("a/game/updates")));
    m_program = std::make_unique<QDir>(m_outer->filePath(QStringLiteral("a/game")));
    SetProgramFolder(m_program->path());
    m_boxes.clear();
    m_previousPresenter = SetModalBoxPresenter(
        [this](QWidget *, const ModalBoxRequest &request) { m_boxes.append(request); });
    Serve(QStringLiteral("/hello.txt"), Greeting.toUtf8());
}

void tst_UpdateRun::cleanup()
{
    SetModalBoxPresenter(m_previousPresenter);
    SetProgramFolder(QString());
    m_program.reset();
    m_outer.reset();
}

void tst_UpdateRun::Serve(const QString &path, const QByteArray &body, int delayMs)
{
    std::lock_guard lock(m_mutex);
    m_documents[path.toStdString()] = {body.toStdString(), delayMs};
}

void tst_UpdateRun::WriteInit(const QString &lastDate, const QString &lastTime)
{
    QFile init(Path(QStringLiteral("updates/init.ini")));
    QVERIFY(init.open(QIODevice::WriteOnly));
    init.write(QStringLiteral("[GENERAL]\r\nHello=%1\r\nUpdateFileURL=%2\r\nLastUpdate=%3\r\n"
                              "LastUpdateTime=%4\r\n")
                   .arg(Url("/hello.txt"), Url("/list"), lastDate, lastTime)
                   .toUtf8());
}

QList<ListedFile> tst_UpdateRun::FourFiles()
{
    Serve("/files/a.txt", "alpha");
    Serve("/files/b.dat", QByteArray(70000, 'b'));
    Serve("/files/c.map", "charlie");
    Serve("/files/d.txt", "delta");
    return {{"FILE1", Url("/files/a.txt"), "", "a.txt"},
            {"FILE2", Url("/files/b.dat"), "\\data", "b.dat"},
            {"FILE3", Url("/files/c.map"), "\\data\\maps", "c.map"},
            {"FILE4", Url("/files/d.txt"), "\\docs", "d.txt"}};
}

// Runs the load handler, then waits until the update has ended (Done enabled)
// or the window has closed.
std::unique_ptr<frmUpdate> tst_UpdateRun::RunUntilSettled()
{
    auto window = std::make_unique<frmUpdate>();
    window->Form_Load();
    const frmUpdate *w = window.get();
    [&] { QTRY_VERIFY_WITH_TIMEOUT(w->DoneEnabled() || w->IsClosed(), 30000); }();
    return window;
}

void tst_UpdateRun::filesOfTheList_data()
{
    QTest::addColumn<QString>("totalFiles");
    QTest::addColumn<QString>("missingSection");
    QTest::addColumn<QStringList>("tail");
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<bool>("recorded");

    const QStringList complete = {"Finished.......", "Update Complete"};
    QTest::newRow("3") << "3"
                       << ""
                       << QStringList{"3 Files Found...", "Downloading a.txt", "Downloading b.dat",
                                      "Downloading c.map"} +
                              complete
                       << QStringList{"a.txt", "data/b.dat", "data/maps/c.map"} << true;
    QTest::newRow("0") << "0"
                       << "" << NothingToUpdate + NothingToUpdate << QStringList{} << false;
    QTest::newRow("empty") << ""
                           << "" << NothingToUpdate + NothingToUpdate << QStringList{} << false;
    QTest::newRow("0.4") << "0.4"
                         << "" << QStringList{"0.4 Files Found..."} + complete << QStringList{}
                         << true;
    QTest::newRow("2.5 rounds to 2")
        << "2.5"
        << ""
        << QStringList{"2.5 Files Found...", "Downloading a.txt", "Downloading b.dat"} + complete
        << QStringList{"a.txt", "data/b.dat"} << true;
    QTest::newRow("3.5 rounds to 4")
        << "3.5"
        << ""
        << QStringList{"3.5 Files Found...", "Downloading a.txt", "Downloading b.dat",
                       "Downloading c.map", "Downloading d.txt"} +
               complete
        << QStringList{"a.txt", "data/b.dat", "data/maps/c.map", "docs/d.txt"} << true;
    QTest::newRow("missing FILE2")
        << "2"
        << "FILE2"
        << QStringList{"2 Files Found...", "Downloading a.txt",
                       "Downloading ",     "Failed to download ",
                       "Finished.......",  "1 Files Failed, Update Will Be Offered Again"}
        << QStringList{"a.txt"} << false;
}

void tst_UpdateRun::filesOfTheList()
{
    QFETCH(QString, totalFiles);
    QFETCH(QString, missingSection);
    QFETCH(QStringList, tail);
    QFETCH(QStringList, stored);
    QFETCH(bool, recorded);

    WriteInit();
    QList<ListedFile> files = FourFiles();
    files.removeIf([&](const ListedFile &f) { return f.section == missingSection; });
    Serve("/list/updates.txt", UpdateList(totalFiles, OfferedDate, OfferedTime, files));

    // First run: no updates.ini yet, so the list arrives during the check.
    QVERIFY(!QFile::exists(Path("updates/updates.ini")));
    const auto window = RunUntilSettled();
    QVERIFY(!window->IsClosed());
    QCOMPARE(LogLines(*window), (RunStart + tail));
    QVERIFY(window->DoneEnabled());
    QCOMPARE(window->BarValue(), window->BarMax());

    const QMap<QString, QByteArray> contents = {{"a.txt", "alpha"},
                                                {"data/b.dat", QByteArray(70000, 'b')},
                                                {"data/maps/c.map", "charlie"},
                                                {"docs/d.txt", "delta"}};
    for (auto it = contents.cbegin(); it != contents.cend(); ++it) {
        if (stored.contains(it.key()))
            QCOMPARE(ReadAll(Path(it.key())), it.value());
        else
            QVERIFY2(!QFile::exists(Path(it.key())), qPrintable(it.key()));
    }
    const QString init = Path("updates/init.ini");
    QCOMPARE(ReadIni(init, "GENERAL", "LastUpdate"), recorded ? OfferedDate : RecordedDate);
    QCOMPARE(ReadIni(init, "GENERAL", "LastUpdateTime"), recorded ? OfferedTime : RecordedTime);
    QCOMPARE(ReadIni(init, "GENERAL", "Hello"), Url("/hello.txt"));
}

void tst_UpdateRun::sameDateAndTimeFetchesNothing()
{
    WriteInit(OfferedDate, OfferedTime);
    Serve("/list/updates.txt", UpdateList("4", OfferedDate, OfferedTime, FourFiles()));
    const QByteArray initBefore = ReadAll(Path("updates/init.ini"));

    const auto window = RunUntilSettled();
    QCOMPARE(LogLines(*window), (RunStart + NothingToUpdate));
    QVERIFY(window->DoneEnabled());
    QCOMPARE(window->BarValue(), window->BarMax());
    QCOMPARE(ReadAll(Path("updates/init.ini")), initBefore);
    std::lock_guard lock(m_mutex);
    QCOMPARE(m_requests["/list/updates.txt"], 1);
    QCOMPARE(m_requests.count("/files/a.txt"), 0u);
}

void tst_UpdateRun::timeDifferingOnlyInCaseIsOffered()
{
    WriteInit(OfferedDate, OfferedTime.toLower());
    Serve("/list/updates.txt", UpdateList("1", OfferedDate, OfferedTime, FourFiles()));

    const auto window = RunUntilSettled();
    QCOMPARE(LogLines(*window), (RunStart + QStringList{"1 Files Found...", "Downloading a.txt",
                                                        "Finished.......", "Update Complete"}));
    QCOMPARE(ReadIni(Path("updates/init.ini"), "GENERAL", "LastUpdateTime"), OfferedTime);
}

// The check's passes end long before a list that takes seconds to come; the
// check then waits for it, so the update is offered on this run.
void tst_UpdateRun::checkWaitsForSlowList()
{
    WriteInit();
    Serve("/list/updates.txt", UpdateList("1", OfferedDate, OfferedTime, FourFiles()), 2500);

    const auto window = RunUntilSettled();
    QCOMPARE(LogLines(*window), (RunStart + QStringList{"1 Files Found...", "Downloading a.txt",
                                                        "Finished.......", "Update Complete"}));
    QCOMPARE(ReadAll(Path("a.txt")), QByteArray("alpha"));
}

// Regression: the first pass read the list left by the previous run, before
// this run's list had arrived, and took the no-files exit from it.
void tst_UpdateRun::previousListIsNotTakenForThisRunsList()
{
    WriteInit();
    QFile previous(Path("updates/updates.ini"));
    QVERIFY(previous.open(QIODevice::WriteOnly));
    previous.write(UpdateList("0", RecordedDate, RecordedTime, {}));
    previous.close();
    Serve("/list/updates.txt", UpdateList("1", OfferedDate, OfferedTime, FourFiles()), 300);

    const auto window = RunUntilSettled();
    QCOMPARE(LogLines(*window), (RunStart + QStringList{"1 Files Found...", "Downloading a.txt",
                                                        "Finished.......", "Update Complete"}));
}

void tst_UpdateRun::failedListIsLoggedAndPreviousListUsed()
{
    WriteInit();
    Serve("/files/a.txt", "alpha");
    QFile previous(Path("updates/updates.ini"));
    QVERIFY(previous.open(QIODevice::WriteOnly));
    previous.write(
        UpdateList("1", OfferedDate, OfferedTime, {{"FILE1", Url("/files/a.txt"), "", "a.txt"}}));
    previous.close();
    // No /list/updates.txt is served: the list's read fails with 404.

    const auto window = RunUntilSettled();
    QCOMPARE(LogLines(*window),
             (RunStart + QStringList{"Failed to download updates.ini", "1 Files Found...",
                                     "Downloading a.txt", "Finished.......", "Update Complete"}));
}

// An empty "UpdateFileURL" gives the address "/updates.txt", which the
// Downloader refuses with its own box; the run logs it and goes on.
void tst_UpdateRun::refusedListStartIsLogged()
{
    QFile init(Path("updates/init.ini"));
    QVERIFY(init.open(QIODevice::WriteOnly));
    init.write(("[GENERAL]\nHello=" + Url("/hello.txt") + "\nUpdateFileURL=\n").toUtf8());
    init.close();

    const auto window = RunUntilSettled();
    QCOMPARE(LogLines(*window),
             (QStringList{QString(), Greeting, "Downloading updates.ini, please wait...",
                          "Failed to download updates.ini", "Receiving Update File",
                          "Update file received. Checking Information...."} +
              NothingToUpdate + NothingToUpdate));
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes[0].title, QStringLiteral("Warning"));
    QVERIFY(!window->IsClosed());
}

void tst_UpdateRun::greetingFailureEndsRun_data()
{
    QTest::addColumn<QString>("hello");
    QTest::newRow("404") << "/missing.txt";
    QTest::newRow("no server") << "http://127.0.0.1:1/hello.txt";
    QTest::newRow("empty address") << "";
}

void tst_UpdateRun::greetingFailureEndsRun()
{
    QFETCH(QString, hello);
    WriteInit();
    Serve("/list/updates.txt", UpdateList("1", OfferedDate, OfferedTime, FourFiles()));
    const QString initPath = Path("updates/init.ini");
    if (hello.startsWith('/'))
        hello = Url(hello);
    QByteArray init = ReadAll(initPath);
    init.replace(Url("/hello.txt").toUtf8(), hello.toUtf8());
    {
        QFile file(initPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(init);
    }

    frmUpdate window;
    window.Form_Load();
    QVERIFY(window.IsClosed());
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes[0].text, QStringLiteral("Update Failed, Shutting Down."));
    QCOMPARE(m_boxes[0].title, QStringLiteral("Update Failed"));
    QCOMPARE(m_boxes[0].icon, BoxIcon::None);
    QCOMPARE(window.LogText(), QString());
    QCOMPARE(ReadAll(initPath), init);
    QVERIFY(!QFile::exists(Path("updates/updates.ini")));
    std::lock_guard lock(m_mutex);
    QCOMPARE(m_requests.count("/list/updates.txt"), 0u);
}

void tst_UpdateRun::failedFileLeavesRecordAndIsOfferedAgain()
{
    WriteInit();
    QList<ListedFile> files = FourFiles();
    files[1].url = Url("/files/gone.dat");
    Serve("/list/updates.txt", UpdateList("2", OfferedDate, OfferedTime, files));
    const QString init = Path("updates/init.ini");
    {
        const auto window = RunUntilSettled();
        QCOMPARE(
            LogLines(*window),
            (RunStart + QStringList{"2 Files Found...", "Downloading a.txt", "Downloading b.dat",
                                    "Failed to download b.dat", "Finished.......",
                                    "1 Files Failed, Update Will Be Offered Again"}));
        QVERIFY(!QFile::exists(Path("data/b.dat")));
        QCOMPARE(ReadIni(init, "GENERAL", "LastUpdate"), RecordedDate);
        QCOMPARE(ReadIni(init, "GENERAL", "LastUpdateTime"), RecordedTime);
    }
    // The publisher fixes the file; the next start offers the update again.
    Serve("/files/gone.dat", "bravo");
    const auto again = RunUntilSettled();
    QCOMPARE(LogLines(*again),
             (RunStart + QStringList{"2 Files Found...", "Downloading a.txt", "Downloading b.dat",
                                     "Finished.......", "Update Complete"}));
    QCOMPARE(ReadAll(Path("data/b.dat")), QByteArray("bravo"));
    QCOMPARE(ReadIni(init, "GENERAL", "LastUpdate"), OfferedDate);
}

void tst_UpdateRun::cancelWhileFilesInFlightWritesNothingMore()
{
    WriteInit();
    QList<ListedFile> files = FourFiles();
    Serve("/files/slow.bin", "late bytes", 1500);
    files[1].url = Url("/files/slow.bin");
    Serve("/list/updates.txt", UpdateList("2", OfferedDate, OfferedTime, files));

    frmUpdate window;
    window.Form_Load();
    QVERIFY(!window.IsClosed());
    QVERIFY(!window.DoneEnabled());
    QVERIFY(window.Downloader2().IsInFlight(Path("data/b.dat")));
    const QString logAtCancel = window.LogText();
    const int answeredBefore = m_answered;

    auto *cancel = window.findChild<QPushButton *>(QStringLiteral("cmdCancel"));
    QVERIFY(cancel);
    cancel->click();
    QVERIFY(window.IsClosed());

    // Let the slow answer arrive and every pending event run.
    QTRY_VERIFY_WITH_TIMEOUT(m_answered > answeredBefore, 10000);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();

    const QString init = Path("updates/init.ini");
    QCOMPARE(ReadIni(init, "GENERAL", "LastUpdate"), QStringLiteral("Last Update Canceled"));
    QCOMPARE(ReadIni(init, "GENERAL", "LastUpdateTime"), QStringLiteral("Last Update Canceled"));
    QVERIFY(!QFile::exists(Path("data/b.dat")));
    QCOMPARE(window.LogText(), logAtCancel);
    QVERIFY(!window.DoneEnabled());
}

void tst_UpdateRun::cancelDuringCheckEndsRun()
{
    WriteInit();
    Serve("/list/updates.txt", UpdateList("1", OfferedDate, OfferedTime, FourFiles()), 1500);

    frmUpdate window;
    QTimer::singleShot(200, &window, [&window] {
        window.findChild<QPushButton *>(QStringLiteral("cmdCancel"))->click();
    });
    window.Form_Load();
    QVERIFY(window.IsClosed());
    const QString logAtCancel = window.LogText();
    QVERIFY(!logAtCancel.contains("Files Found"));

    QCOMPARE(ReadIni(Path("updates/init.ini"), "GENERAL", "LastUpdate"),
             QStringLiteral("Last Update Canceled"));
    QVERIFY(!QFile::exists(Path("updates/updates.ini")));
    QVERIFY(m_boxes.isEmpty());
}

void tst_UpdateRun::hostileNamesStayInsideProgramFolder()
{
    WriteInit();
    Serve("/files/evil", "[GENERAL]\r\nHello=http://evil.example/\r\n");
    const QString evil = Url("/files/evil");
    const QList<ListedFile> files = {
        {"FILE1", evil, "", "..\\..\\x"},
        {"FILE2", evil, "\\..\\..", "y"},
        {"FILE3", evil, "/../..", "z"},
        {"FILE4", evil, "\\data", "../w"},
        {"FILE5", evil, "\\...", "v"},
        {"FILE6", evil, "", "c:u"},
        {"FILE7", evil, "\\updates", "init.ini"},
        {"FILE8", evil, "\\UPDATES", "Updates.INI"},
        {"FILE9", Url("/files/a.txt"), "\\data..ok", "a..b.txt"},
    };
    Serve("/files/a.txt", "alpha");
    Serve("/list/updates.txt", UpdateList("9", OfferedDate, OfferedTime, files));
    const QByteArray initBefore = ReadAll(Path("updates/init.ini"));

    const auto window = RunUntilSettled();
    QStringList tail = {"9 Files Found..."};
    for (const ListedFile &file : files.first(8))
        tail << "Failed to download " + file.fileName;
    tail << "Downloading a..b.txt"
         << "Finished......."
         << "8 Files Failed, Update Will Be Offered Again";
    QCOMPARE(LogLines(*window), (RunStart + tail));
    QCOMPARE(ReadAll(Path("updates/init.ini")), initBefore);
    QCOMPARE(ReadAll(Path("data..ok/a..b.txt")), QByteArray("alpha"));

    // Nothing outside the program folder, and no folder made for a rejected file.
    QDirIterator it(m_outer->path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    QStringList entries;
    while (it.hasNext())
        entries << QDir(m_outer->path()).relativeFilePath(it.next());
    entries.sort();
    QCOMPARE(entries, QStringList({"a", "a/game", "a/game/data..ok", "a/game/data..ok/a..b.txt",
                                   "a/game/updates", "a/game/updates/init.ini",
                                   "a/game/updates/updates.ini"}));
}

// Two files of the list with one target: the second waits for the first, and
// both count as settled, so the update still completes.
void tst_UpdateRun::duplicateTargetsBothSettle()
{
    WriteInit();
    Serve("/files/first", "first", 300);
    Serve("/files/second", "second");
    Serve("/list/updates.txt", UpdateList("2", OfferedDate, OfferedTime,
                                          {{"FILE1", Url("/files/first"), "\\data", "same.txt"},
                                           {"FILE2", Url("/files/second"), "\\data", "same.txt"}}));

    const auto window = RunUntilSettled();
    QCOMPARE(LogLines(*window), (RunStart + QStringList{"2 Files Found...", "Downloading same.txt",
                                                        "Downloading same.txt", "Finished.......",
                                                        "Update Complete"}));
    QCOMPARE(ReadAll(Path("data/same.txt")), QByteArray("second"));
}

QTEST_MAIN(tst_UpdateRun)
#include "tst_UpdateRun.moc"
