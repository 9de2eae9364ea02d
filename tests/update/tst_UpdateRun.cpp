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
const QStringList NothingToUpdate = {"Finished.......", "No Files to Update"};
const QStringList Complete = {"Finished.......", "Update Complete"};
const QStringList OneFile = QStringList{"1 Files Found...", "Downloading a.txt"} + Complete;

struct ListedFile {
    QString url, savePath, fileName;
};

// FILE1, FILE2, ... in the order given.
QByteArray UpdateList(const QString &totalFiles, const QList<ListedFile> &files,
                      const QString &date = OfferedDate, const QString &time = OfferedTime)
{
    QString text = QStringLiteral("[GENERAL]\r\nTotalFiles=%1\r\nDate=%2\r\nTime=%3\r\n")
                       .arg(totalFiles, date, time);
    for (qsizetype i = 0; i < files.size(); ++i)
        text +=
            QStringLiteral("[FILE%1]\r\nURL=%2\r\nSavePath=%3\r\nFileName=%4\r\n")
                .arg(QString::number(i + 1), files[i].url, files[i].savePath, files[i].fileName);
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

// One run to its end, and what it must leave behind.
struct RunCase {
    QString lastDate = RecordedDate, lastTime = RecordedTime;
    QString listFolder = QStringLiteral("/list"); // "UpdateFileURL"; empty: none
    QByteArray previousList{};                    // updates.ini before the run; empty: none
    QByteArray list{};                            // this run's list; empty: not served
    int listDelayMs = 0;
    QStringList start = RunStart, tail{}; // the log
    // Every file below the temporary folder but the profiles, by its path
    // from the program folder.
    QMap<QString, QByteArray> files{};
    int boxes = 0;
};

} // namespace

Q_DECLARE_METATYPE(RunCase)

// Runs of the whole window against a loopback server, with the program folder
// in a temporary folder and every message box recorded instead of shown.
class tst_UpdateRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void run_data();
    void run();
    void greetingFailureEndsRun();
    void cancel_data();
    void cancel();

private:
    // Serves `body` at `path`, answering after `delayMs`; other paths get 404.
    void Serve(const QString &path, const QByteArray &body, int delayMs = 0);
    QString Url(const QString &path) const { return m_server.url(path); }
    QString Path(const QString &relative) const { return m_program.filePath(relative); }
    void WriteInit(const RunCase &c = {}, const QString &hello = QStringLiteral("/hello.txt"));
    int Requests(const QString &path);

    TestHttpServer m_server;
    std::mutex m_mutex;
    std::map<std::string, std::pair<std::string, int>> m_documents;
    std::map<std::string, int> m_requests;
    std::atomic<int> m_answered{0};

    std::unique_ptr<QTemporaryDir> m_outer;
    QDir m_program;
    QList<ModalBoxRequest> m_boxes;
    ModalBoxPresenter m_previousPresenter;
};

void tst_UpdateRun::initTestCase()
{
    m_server.server().Get(".*", [this](const httplib::Request &req, httplib::Response &res) {
        std::unique_lock lock(m_mutex);
        ++m_requests[req.path];
        const auto it = m_documents.find(req.path);
        const bool found = it != m_documents.end();
        const auto document = found ? it->second : std::pair<std::string, int>();
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(document.second));
        if (found)
            res.set_content(document.first, "application/octet-stream");
        else
            res.status = 404;
        ++m_answered;
    });
    m_server.start();
}

void tst_UpdateRun::init()
{
    {
        std::lock_guard lock(m_mutex);
        m_documents.clear();
        m_requests.clear();
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
    Serve("/hello.txt", Greeting.toUtf8());
    Serve("/files/a.txt", "alpha");
    Serve("/files/b.dat", QByteArray(70000, 'b'));
    Serve("/files/c.map", "charlie");
    Serve("/files/d.txt", "delta");
    Serve("/files/evil", "[GENERAL]\r\nHello=http://evil.example/\r\n");
    Serve("/files/first", "first", 300);
    Serve("/files/second", "second");
}

void tst_UpdateRun::cleanup()
{
    SetModalBoxPresenter(m_previousPresenter);
    SetProgramFolder(QString());
    m_outer.reset();
}

void tst_UpdateRun::Serve(const QString &path, const QByteArray &body, int delayMs)
{
    std::lock_guard lock(m_mutex);
    m_documents[path.toStdString()] = {body.toStdString(), delayMs};
}

int tst_UpdateRun::Requests(const QString &path)
{
    std::lock_guard lock(m_mutex);
    return m_requests[path.toStdString()];
}

void tst_UpdateRun::WriteInit(const RunCase &c, const QString &hello)
{
    WriteFile(Path("updates/init.ini"),
              QStringLiteral("[GENERAL]\r\nHello=%1\r\nUpdateFileURL=%2\r\nLastUpdate=%3\r\n"
                             "LastUpdateTime=%4\r\n")
                  .arg(Url(hello), c.listFolder.isEmpty() ? "" : Url(c.listFolder), c.lastDate,
                       c.lastTime)
                  .toUtf8());
}

void tst_UpdateRun::run_data()
{
    QTest::addColumn<RunCase>("c");
    const QList<ListedFile> four = {{Url("/files/a.txt"), "", "a.txt"},
                                    {Url("/files/b.dat"), "\\data", "b.dat"},
                                    {Url("/files/c.map"), "\\data\\maps", "c.map"},
                                    {Url("/files/d.txt"), "\\docs", "d.txt"}};
    const QByteArray oneOfFour = UpdateList("1", four);
    const QMap<QString, QByteArray> a = {{"a.txt", "alpha"}};
    const QMap<QString, QByteArray> ab = {{"a.txt", "alpha"},
                                          {"data/b.dat", QByteArray(70000, 'b')}};
    QMap<QString, QByteArray> all = ab;
    all["data/maps/c.map"] = "charlie";
    all["docs/d.txt"] = "delta";
    const QStringList found4 = {"Downloading a.txt", "Downloading b.dat", "Downloading c.map",
                                "Downloading d.txt"};
    const QString failed1 = "1 Files Failed, Update Will Be Offered Again";

    // TotalFiles: positive means the files are offered; their count is
    // rounded half to even.
    QTest::newRow("TotalFiles 0") << RunCase{.list = UpdateList("0", four),
                                             .tail = NothingToUpdate + NothingToUpdate};
    QTest::newRow("TotalFiles 0.4") << RunCase{
        .list = UpdateList("0.4", four), .tail = QStringList{"0.4 Files Found..."} + Complete};
    QTest::newRow("2.5 rounds to 2")
        << RunCase{.list = UpdateList("2.5", four),
                   .tail = QStringList{"2.5 Files Found..."} + found4.first(2) + Complete,
                   .files = ab};
    QTest::newRow("3.5 rounds to 4")
        << RunCase{.list = UpdateList("3.5", four),
                   .tail = QStringList{"3.5 Files Found..."} + found4 + Complete,
                   .files = all};
    // A failed file keeps the record unwritten, so the update is offered again.
    QList<ListedFile> gone = four;
    gone[1].url = Url("/files/gone.dat");
    QTest::newRow("file not found")
        << RunCase{.list = UpdateList("2", gone),
                   .tail = QStringList{"2 Files Found...", "Downloading a.txt", "Downloading b.dat",
                                       "Failed to download b.dat", "Finished.......", failed1},
                   .files = a};
    // FILE5 has no section: an empty address, refused by the Downloader's box.
    QTest::newRow("section missing") << RunCase{
        .list = UpdateList("5", four),
        .tail = QStringList{"5 Files Found..."} + found4 +
                QStringList{"Downloading ", "Failed to download ", "Finished.......", failed1},
        .files = all,
        .boxes = 1};
    // Regression: a count near 2^31 kept the run starting refused transfers,
    // one box each, for days. No more files are tried than the list has
    // sections (here [GENERAL] and [FILE1], so FILE2 is tried and missing).
    QTest::newRow("hostile TotalFiles")
        << RunCase{.list = UpdateList("2147483647", four.first(1)),
                   .tail = {"2147483647 Files Found...", "Downloading a.txt", "Downloading ",
                            "Failed to download ", "Finished.......",
                            "2147483646 Files Failed, Update Will Be Offered Again"},
                   .files = a,
                   .boxes = 1};
    QTest::newRow("same date and time") << RunCase{.lastDate = OfferedDate,
                                                   .lastTime = OfferedTime,
                                                   .list = oneOfFour,
                                                   .tail = NothingToUpdate};
    QTest::newRow("time differs only in case") << RunCase{.lastDate = OfferedDate,
                                                          .lastTime = OfferedTime.toLower(),
                                                          .list = oneOfFour,
                                                          .tail = OneFile,
                                                          .files = a};
    // The check's passes end long before this list comes; it then waits.
    QTest::newRow("slow list") << RunCase{
        .list = oneOfFour, .listDelayMs = 2500, .tail = OneFile, .files = a};
    // Regression: the first pass read the list left by the previous run,
    // before this run's list had arrived, and took the no-files exit from it.
    QTest::newRow("previous list not taken for this one")
        << RunCase{.previousList = UpdateList("0", {}, RecordedDate, RecordedTime),
                   .list = oneOfFour,
                   .listDelayMs = 300,
                   .tail = OneFile,
                   .files = a};
    QTest::newRow("failed list: previous one used")
        << RunCase{.previousList = oneOfFour,
                   .tail = QStringList{"Failed to download updates.ini"} + OneFile,
                   .files = a};
    // No "UpdateFileURL": the address "/updates.txt" is refused with a box.
    QStringList refused = RunStart;
    refused.insert(3, "Failed to download updates.ini");
    QTest::newRow("list refused at start") << RunCase{
        .listFolder = "", .start = refused, .tail = NothingToUpdate + NothingToUpdate, .boxes = 1};
    // Each is refused whether it climbs in SavePath or in FileName or names a
    // profile; dots inside names are allowed.
    const QString evil = Url("/files/evil");
    QTest::newRow("hostile names") << RunCase{
        .list = UpdateList("4", {{evil, "", "..\\..\\x"},
                                 {evil, "\\..\\..", "y"},
                                 {evil, "\\UPDATES", "Updates.INI"},
                                 {Url("/files/a.txt"), "\\data..ok", "a..b.txt"}}),
        .tail = {"4 Files Found...", "Failed to download ..\\..\\x", "Failed to download y",
                 "Failed to download Updates.INI", "Downloading a..b.txt", "Finished.......",
                 "3 Files Failed, Update Will Be Offered Again"},
        .files = {{"data..ok/a..b.txt", "alpha"}}};
    // One target twice: the second waits for the first, both settle.
    QTest::newRow("duplicate targets") << RunCase{
        .list = UpdateList("2", {{Url("/files/first"), "\\data", "same.txt"},
                                 {Url("/files/second"), "\\data", "same.txt"}}),
        .tail = QStringList{"2 Files Found...", "Downloading same.txt", "Downloading same.txt"} +
                Complete,
        .files = {{"data/same.txt", "second"}}};
}

void tst_UpdateRun::run()
{
    QFETCH(RunCase, c);
    const QString init = Path("updates/init.ini");
    WriteInit(c);
    if (!c.previousList.isEmpty())
        WriteFile(Path("updates/updates.ini"), c.previousList);
    if (!c.list.isEmpty())
        Serve("/list/updates.txt", c.list, c.listDelayMs);
    const QByteArray initBefore = ReadAll(init);

    frmUpdate window;
    window.Form_Load();
    QTRY_VERIFY_WITH_TIMEOUT(window.DoneEnabled() || window.IsClosed(), 30000);
    QVERIFY(!window.IsClosed());
    QCOMPARE(window.LogText().split("\r\n"), c.start + c.tail);
    QCOMPARE(window.BarValue(), window.BarMax());
    QCOMPARE(m_boxes.size(), c.boxes);
    QCOMPARE(Requests("/list/updates.txt"), c.listFolder.isEmpty() ? 0 : 1);

    QMap<QString, QByteArray> files{};
    QDirIterator it(m_outer->path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(m_program.relativeFilePath(path), ReadAll(path));
    }
    files.remove("updates/init.ini");
    files.remove("updates/updates.ini");
    QCOMPARE(files, c.files);
    // The record is written exactly when the log says the update is complete.
    if (!c.tail.endsWith("Update Complete")) {
        QCOMPARE(ReadAll(init), initBefore);
    } else {
        QCOMPARE(ReadIni(init, "GENERAL", "LastUpdate"), OfferedDate);
        QCOMPARE(ReadIni(init, "GENERAL", "LastUpdateTime"), OfferedTime);
        QCOMPARE(ReadIni(init, "GENERAL", "Hello"), Url("/hello.txt"));
    }
}

void tst_UpdateRun::greetingFailureEndsRun()
{
    WriteInit({}, "/missing.txt");
    Serve("/list/updates.txt", UpdateList("1", {{Url("/files/a.txt"), "", "a.txt"}}));
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
    QVERIFY(!QFile::exists(Path("updates/updates.ini")));
    QCOMPARE(Requests("/list/updates.txt"), 0);
}

// Cancel while the check waits for the list, or while a file is in flight:
// the run ends there, and what arrives later changes nothing.
void tst_UpdateRun::cancel_data()
{
    QTest::addColumn<bool>("duringCheck");
    QTest::newRow("during the check") << true;
    QTest::newRow("file in flight") << false;
}

void tst_UpdateRun::cancel()
{
    QFETCH(bool, duringCheck);
    WriteInit();
    Serve("/files/slow.bin", "late bytes", 1500);
    Serve("/list/updates.txt",
          UpdateList("2", {{Url("/files/a.txt"), "", "a.txt"},
                           {Url("/files/slow.bin"), "\\data", "b.dat"}}),
          duringCheck ? 1500 : 0);

    frmUpdate window;
    const auto clickCancel = [&window] {
        window.findChild<QPushButton *>(QStringLiteral("cmdCancel"))->click();
    };
    if (duringCheck)
        QTimer::singleShot(200, &window, clickCancel);
    window.Form_Load();
    if (!duringCheck) {
        QVERIFY(!window.IsClosed());
        QVERIFY(window.Downloader2().IsInFlight(Path("data/b.dat")));
        clickCancel();
    }
    QVERIFY(window.IsClosed());
    const QString logAtCancel = window.LogText();
    QCOMPARE(logAtCancel.contains("Files Found"), !duringCheck);

    // Let the slow answer arrive and every pending event run.
    const int answeredBefore = m_answered;
    QTRY_VERIFY_WITH_TIMEOUT(m_answered > answeredBefore, 10000);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();

    const QString init = Path("updates/init.ini");
    QCOMPARE(ReadIni(init, "GENERAL", "LastUpdate"), QStringLiteral("Last Update Canceled"));
    QCOMPARE(ReadIni(init, "GENERAL", "LastUpdateTime"), QStringLiteral("Last Update Canceled"));
    QCOMPARE(QFile::exists(Path("updates/updates.ini")), !duringCheck);
    QVERIFY(!QFile::exists(Path("data/b.dat")));
    QCOMPARE(window.LogText(), logAtCancel);
    QVERIFY(!window.DoneEnabled());
    QVERIFY(m_boxes.isEmpty());
}

QTEST_MAIN(tst_UpdateRun)
#include "tst_UpdateRun.moc"
