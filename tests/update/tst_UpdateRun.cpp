#include "app/ModalBox.h"
#include "app/frmUpdate.h"
#include "download/Downloader.h"
#include "profile/modTypes.h"
#include "system/FileStamp.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestHttpServer.h"
#include "update/FileDigest.h"
#include "update/ProgramFolder.h"
#include "update/SignedList.h"
#include "update/StagedUpdate.h"
#include "update/UpdateRun.h"

#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>

namespace
{

const QString Date = "2026-12-01", Time = "18:30 PM", Greeting = "Welcome, adventurer!";
const QStringList NoFiles = {"Finished.......", "No Files to Update"};
const QStringList Complete = {"Finished.......", "Update Complete"};

QStringList failed(int files)
{
    return {"Finished.......",
            QString::number(files) + " Files Failed, Update Will Be Offered Again"};
}

// FILE1, FILE2, ... in the order given, each as {URL, SavePath, FileName}
// and, for a pinned file, its body.
QByteArray list(const QString &totalFiles, const QList<QStringList> &files)
{
    QString text =
        "[GENERAL]\r\nTotalFiles=" + totalFiles + "\r\nDate=" + Date + "\r\nTime=" + Time;
    for (qsizetype i = 0; i < files.size(); ++i) {
        text += QStringLiteral("\r\n[FILE%1]\r\nURL=%2\r\nSavePath=%3\r\nFileName=%4")
                    .arg(QString::number(i + 1), files[i][0], files[i][1], files[i][2]);
        if (files[i].size() > 3)
            text +=
                "\r\nSize=" + QString::number(files[i][3].size()) + "\r\nSHA256=" +
                QCryptographicHash::hash(files[i][3].toUtf8(), QCryptographicHash::Sha256).toHex();
    }
    return text.toUtf8() + "\r\n";
}

// One run to its end, and what it must leave behind.
struct RunCase {
    QByteArray list{};                 // this run's list; a row without one gets a 404
    QStringList log{};                 // after the lines of the run's start
    QMap<QString, QByteArray> files{}; // below the temporary folder, profiles aside
    QByteArray previousList{};         // updates.ini before the run
    int listDelayMs = 0;
    QString lastDate = "2026-01-01", lastTime = "10:00";
    QByteArray greeting = Greeting.toUtf8();
    QString greetingLine = Greeting;
    QByteArray listAfterStart{}; // replaces updates.ini while a file is in flight
    // The program folder is a small file system of its own, filled up as
    // the last file arrives.
    bool diskFullAtEnd = false;
    // Below the temporary folder before the run: files, links (path -> what
    // it points to) and files marked immutable, as a running game holds them.
    QMap<QString, QByteArray> before{};
    QMap<QString, QString> links{};
    QStringList immutable{};
    QStringList logBefore{}; // before the greeting
    QByteArray mirrorList{}; // served below init.ini's Mirrors, "/m"
};

// Marks a file immutable, or takes the mark off: no rename may replace it
// then, root's included, as a file the game holds open on Windows.
bool setImmutable(const QString &path, bool on)
{
    return QProcess::execute("chattr", {on ? "+i" : "-i", path}) == 0;
}

} // namespace

Q_DECLARE_METATYPE(RunCase)

// Runs of the whole window against a loopback server, the program folder two
// levels down in a temporary folder (so that a write climbing out of it is
// still seen) and every message box recorded instead of shown.
class tst_UpdateRun : public QObject
{
    Q_OBJECT

    TestHttpServer m_server;
    std::mutex m_mutex; // guards the two below: path -> body and delay
    std::map<std::string, std::pair<std::string, int>> m_documents;
    QStringList m_requests;          // path, and " " and the Range if there was one
    std::atomic<bool> m_hold{false}; // keeps "/files/held" from answering

    QString m_mounted;
    QStringList m_immutable;
    std::unique_ptr<QTemporaryDir> m_outer;
    QDir m_program;
    QList<ModalBoxRequest> m_boxes;

    QString Url(const QString &path) const { return m_server.url(path); }
    QString path(const QString &relative) const { return m_program.filePath(relative); }

    void serve(const std::string &path, const QByteArray &body, int delayMs = 0)
    {
        std::lock_guard lock(m_mutex);
        m_documents[path] = {body.toStdString(), delayMs};
        m_requests.clear();
    }

    QStringList requests()
    {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }

    // Every file below the temporary folder but the profiles and the lock, by
    // its path from the program folder.
    QMap<QString, QByteArray> gameFiles() const
    {
        QMap<QString, QByteArray> files;
        const QMap<QString, QByteArray> all = filesBelow(m_outer->path());
        for (auto it = all.cbegin(); it != all.cend(); ++it)
            files.insert(m_program.relativeFilePath(m_outer->filePath(it.key())), it.value());
        for (const char *kept : {"updates/init.ini", "updates/updates.ini", "updates/updater.lock",
                                 "updates/state.cache"})
            files.remove(kept);
        return files;
    }

    QStringList record() const
    {
        const QString init = path("updates/init.ini");
        return {ReadIni(init, "GENERAL", "LastUpdate"), ReadIni(init, "GENERAL", "LastUpdateTime")};
    }

    // One run of the window to its end, and its log line by line.
    QStringList runToEnd(bool verify = false)
    {
        frmUpdate window;
        window.setVerifyAll(verify);
        window.formLoad();
        if (!QTest::qWaitFor([&] { return window.doneEnabled(); }, 30000))
            return {"the run did not end"};
        return window.logText().split("\r\n");
    }

    void writeInit(const QString &date = "2026-01-01", const QString &time = "10:00")
    {
        writeFile(path("updates/init.ini"),
                  QStringLiteral("[GENERAL]\r\nHello=%1\r\nUpdateFileURL=%2\r\nLastUpdate=%3\r\n"
                                 "LastUpdateTime=%4\r\n")
                      .arg(Url("/hello.txt"), Url("/list"), date, time)
                      .toUtf8());
    }

private slots:
    void initTestCase()
    {
        m_server.server().Get(".*", [this](const httplib::Request &req, httplib::Response &res) {
            std::unique_lock lock(m_mutex);
            const std::string range = req.get_header_value("Range");
            m_requests << QString::fromStdString(req.path + (range.empty() ? "" : " " + range));
            const auto it = m_documents.find(req.path);
            const auto [body, delayMs] =
                it != m_documents.end() ? it->second : std::pair<std::string, int>();
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            while (req.path == "/files/held" && m_hold)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            // Left unset for a body, so that a Range gets a 206 of that range.
            res.set_content(body, "application/octet-stream");
            if (body.empty())
                res.status = 404;
        });
        m_server.start();
        serve("/hello.txt", Greeting.toUtf8());
        serve("/files/a.txt", "alpha");
        serve("/files/slow", "slow", 1000);
        serve("/files/slow2", "slow two", 1000);
        serve("/files/held", "held");
        UpdateRun::setListWaitForTesting(2000);
    }

    void init()
    {
        m_outer = std::make_unique<QTemporaryDir>();
        QVERIFY(m_outer->isValid() && QDir(m_outer->path()).mkpath("a/game/updates"));
        m_program.setPath(m_outer->filePath("a/game"));
        setProgramFolder(m_program.path());
        m_boxes.clear();
        serve("/hello.txt", Greeting.toUtf8());
        setModalBoxPresenter([this](QWidget *, const ModalBoxRequest &r) { m_boxes << r; });
    }

    void cleanup()
    {
        m_hold = false;
        for (const QString &file : std::exchange(m_immutable, {}))
            setImmutable(file, false);
        StagedUpdate::setTraceForTesting({});
        if (!m_mounted.isEmpty())
            QProcess::execute("umount", {"--lazy", std::exchange(m_mounted, QString())});
        setModalBoxPresenter({});
        m_outer.reset();
    }

    void run_data()
    {
        QTest::addColumn<RunCase>("c");
        const QStringList a = {Url("/files/a.txt"), "", "a.txt"};
        const QByteArray oneFile = list("1", {a, {Url("/files/b"), "\\data", "b.dat"}});
        const QStringList oneFileLog = {"1 Files Found...", "Downloading a.txt"};
        // Below zero (as at 0) both the check and the run take the no-files exit.
        QTest::newRow("TotalFiles negative")
            << RunCase{.list = list("-2", {a}), .log = NoFiles + NoFiles};
        // Regression: a count near 2^31 kept the run starting refused
        // transfers for days. No more files are tried than the list has
        // sections: FILE2 has none, and its empty address fails it.
        QTest::newRow("TotalFiles huge")
            << RunCase{.list = list("2147483647", {a}),
                       .log = QStringList{"2147483647 Files Found...", "Downloading a.txt",
                                          "Failed to download "} +
                              failed(2147483646),
                       .files = {{"updates/staging/a.txt", "alpha"}}};
        // Names that climb out (at "\" or "/", in the forms Windows reads as
        // ".."), name a drive, or name a file the update must not touch in
        // any spelling Windows takes for it, and addresses the updater does
        // not fetch, fail their file without a box and without a folder. The
        // good file after them, dots and "." in its path, still arrives.
        QList<QStringList> refused = {{"ftp://127.0.0.1/a.txt", "", "f"},
                                      {"http:///a.txt", "", "h"},
                                      {"files/a.txt", "", "n"}};
        const QString program = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        // SavePath and FileName, one pair after the other.
        const QStringList names =
            QString(R"(|../x|\..\out|y|\...|t|\.. |u|c:|z|\UPDATES|Updates.INI|\updates\|init.ini|)"
                    R"(\updates|update.journal|\updates\staging|a.txt|\updates|updater.lock|)"
                    R"(\UPDATES|Updates.ini.Arriving|\updates|updates.ini.minisig.|)"
                    R"(\updates|state.cache)")
                .split('|') +
            // One spelling alone: two would be refused as one target named twice.
            QStringList{"\\.\\", program.toUpper() + " ."};
        for (qsizetype i = 0; i < names.size(); i += 2)
            refused.append({a[0], names[i], names[i + 1]});
        // Regression: a SavePath without its leading "\" was joined onto the
        // program folder's own name, a sibling folder; an empty FileName, an
        // existing folder, a file in the way of a folder or a link on the way
        // out of the game made a target the commit could not replace. And
        // every pair of one target in two spellings fails both.
        const QStringList more =
            QString(R"(evil|x|\data||\|dir|\plain|x|\linked|x|\data\|s|/data|s|)"
                    R"(|Readme.txt||README.txt||cfg.txt||cfg.txt.||É.txt||é.txt)")
                .split('|');
        for (qsizetype i = 0; i < more.size(); i += 2)
            refused.append({a[0], more[i], more[i + 1]});
        QStringList refusedLog = {QString::number(refused.size() + 1) + " Files Found..."};
        for (const QStringList &file : refused)
            refusedLog << "Failed to download " + file[2];
        const QMap<QString, QByteArray> inTheWay = {
            {"a/game/dir/keep", "k"}, {"a/game/plain", "p"}, {"outside/keep", "o"}};
        QTest::newRow("refused names and addresses") << RunCase{
            .list = list(QString::number(refused.size() + 1),
                         refused + QList<QStringList>{{a[0], "\\.\\d..ok", "init.ini"}}),
            .log = refusedLog + QStringList{"Downloading init.ini"} + failed(int(refused.size())),
            .files = {{"updates/staging/d..ok/init.ini", "alpha"},
                      {"dir/keep", "k"},
                      {"plain", "p"},
                      {"../../outside/keep", "o"}},
            .before = inTheWay,
            .links = {{"a/game/linked", "../../outside"}}};
        // One target in two spellings: the second waits for the first, and
        // its bytes stay. The record names the list whose files were
        // started, though another lands while the second is in flight.
        // The record names the list whose files were started, though another
        // lands while a file is in flight. A lock file left with another
        // machine's name (or any other bytes) locks nothing.
        QTest::newRow("list replaced while a file is in flight; stale lock file")
            << RunCase{.list = list("1", {{Url("/files/slow"), "\\data\\", "s"}}),
                       .log = QStringList{"1 Files Found...", "Downloading s"} + Complete,
                       .files = {{"data/s", "slow"}},
                       .listAfterStart = "[GENERAL]\r\nTotalFiles=0\r\nDate=2027\r\nTime=9\r\n",
                       .before = {{"a/game/updates/updater.lock", "4242\nupdater\nelsewhere\n"}}};
        // Regression: a commit moved files before it knew that every target
        // could be replaced, and left the game half new. A game file held
        // (here: immutable) fails the update with nothing moved, and the
        // folder the commit made for another file goes again.
        QTest::newRow("target held by the game: nothing moved")
            << RunCase{.list = list("2", {a, {Url("/files/slow"), "\\new", "s"}}),
                       .log = QStringList{"2 Files Found...", "Downloading a.txt", "Downloading s",
                                          "Cannot replace a.txt: it is marked immutable or "
                                          "append-only. Close the game, then start the updater "
                                          "again."} +
                              failed(1),
                       .files = {{"a.txt", "old"},
                                 {"updates/staging/a.txt", "alpha"},
                                 {"updates/staging/new/s", "slow"}},
                       .before = {{"a/game/a.txt", "old"}},
                       .immutable = {"a/game/a.txt"}};
        // Regression: a link in the staging folder's place made the updater
        // clear the folder it named, and a staged file replaced by a link
        // to a file with the right bytes was installed as that link.
        const QByteArray pinnedA = list("1", {{a[0], "", "a.txt", "alpha"}});
        // Settings of a list nobody signed are not taken, a first PublicKey
        // over plain http neither: anybody on the way could have put it there.
        QTest::newRow("unsigned list's settings, a PublicKey over http")
            << RunCase{.list = pinnedA +
                               "[SETTINGS]\r\nUpdateFileURL=http://elsewhere\r\n"
                               "PublicKey=" +
                               ("Ed" + QByteArray(40, 'k')).toBase64(),
                       .log = oneFileLog + Complete,
                       .files = {{"a.txt", "alpha"}}};
        // The second file's address answers 404: its bytes come from the first,
        // and it counts as up to date.
        QTest::newRow("content the game holds elsewhere: copied, not fetched")
            << RunCase{.list = list("2", {{a[0], "", "a.txt", "alpha"},
                                          {Url("/files/none"), "\\copy", "a2.txt", "alpha"}}),
                       .log = QStringList{"2 Files Found...", "2 Files Up to Date"} + Complete,
                       .files = {{"a.txt", "alpha"}, {"copy/a2.txt", "alpha"}},
                       .before = {{"a/game/a.txt", "alpha"}}};
        QTest::newRow("staging folder is a link")
            << RunCase{.list = pinnedA,
                       .log = oneFileLog + Complete,
                       .files = {{"a.txt", "alpha"}, {"../../outside/keep", "o"}},
                       .before = {{"outside/keep", "o"}},
                       .links = {{"a/game/updates/staging", "../../../outside"}}};
        QTest::newRow("staged file is a link")
            << RunCase{.list = pinnedA,
                       .log = oneFileLog + Complete,
                       .files = {{"a.txt", "alpha"}, {"../../outside/a.txt", "alpha"}},
                       .before = {{"outside/a.txt", "alpha"}, {"a/game/updates/staging/x", ""}},
                       .links = {{"a/game/updates/staging/a.txt", "../../../../outside/a.txt"}}};
        // Regression: a journal that was a folder, or could not be read,
        // made every start fail. It is set aside for the publisher, and so
        // is one that names a target outside the game folder.
        const QStringList setAside = {"A damaged update journal was set aside as "
                                      "update.journal.damaged."};
        QTest::newRow("journal is a folder")
            << RunCase{.list = oneFile,
                       .log = oneFileLog + Complete,
                       .files = {{"a.txt", "alpha"}, {"updates/update.journal.damaged/x", "j"}},
                       .before = {{"a/game/updates/update.journal/x", "j"}},
                       .logBefore = setAside};
        const QByteArray outward =
            R"({"LastUpdate":"d","LastUpdateTime":"t","moves":[{"staged":"x","target":"x\\y"}]})";
        QTest::newRow("journal names a file outside")
            << RunCase{.list = oneFile,
                       .log = oneFileLog + Complete,
                       .files = {{"a.txt", "alpha"}, {"updates/update.journal.damaged", outward}},
                       .before = {{"a/game/updates/update.journal", outward}},
                       .logBefore = setAside};
        // Regression: on a full disk the record's write emptied init.ini. Now
        // the commit's journal cannot be written and nothing moves.
        QTest::newRow("disk full as the update ends")
            << RunCase{.list = oneFile,
                       .log = oneFileLog + QStringList{"Finished.......",
                                                       "Update Not Recorded, Update Will Be "
                                                       "Offered Again"},
                       .files = {{"updates/staging/a.txt", "alpha"}},
                       .diskFullAtEnd = true};
        // Regression: a long greeting froze the window. The log shows 64 Ki
        // characters of it, without half a character.
        const QString longLine = QString(65535, 'g') + "\U0001F600" + QString(128 * 1024, 'h');
        QTest::newRow("same date and time, greeting of one long line")
            << RunCase{.list = oneFile,
                       .log = NoFiles,
                       .lastDate = Date,
                       .lastTime = Time,
                       .greeting = longLine.toUtf8(),
                       .greetingLine = QString(65535, 'g')};
        // Regression: the first pass read the list left by the previous run,
        // before this run's list had arrived, and took the no-files exit.
        QTest::newRow("slow list, previous one not taken") << RunCase{.list = oneFile,
                                                                      .log = oneFileLog + Complete,
                                                                      .files = {{"a.txt", "alpha"}},
                                                                      .previousList = list("0", {}),
                                                                      .listDelayMs = 700};
        // The check stops waiting for a list that does not come, drops it
        // and works with the previous one.
        const QStringList failedList = QStringList{"Failed to download updates.ini"} + oneFileLog;
        QTest::newRow("list not found: previous one used") << RunCase{
            .log = failedList + Complete, .files = {{"a.txt", "alpha"}}, .previousList = oneFile};
        // Regression: an endless list was written to the disk for as long as
        // it came. One past the profile's size fails as it streams.
        QTest::newRow("list past a profile's size: previous one used")
            << RunCase{.list = QByteArray(16 * 1024 * 1024 + 1, ';'),
                       .log = failedList + Complete,
                       .files = {{"a.txt", "alpha"}},
                       .previousList = oneFile};
        // A commit cut short while it removed a file the new list dropped is
        // finished at the next start, the removal with the moves.
        const QByteArray removing = "{\"LastUpdate\":\"" + Date.toUtf8() +
                                    "\",\"LastUpdateTime\":\"" + Time.toUtf8() +
                                    "\",\"moves\":[{\"staged\":\"c\",\"target\":\"/c\"},"
                                    "{\"staged\":\"\",\"target\":\"/d/b\"}]}";
        QTest::newRow("journal with a removal finished")
            << RunCase{.list = oneFile,
                       .log = NoFiles,
                       .files = {{"c", "new c"}, {"d/mine", "m"}},
                       .lastDate = Date,
                       .lastTime = Time,
                       .before = {{"a/game/updates/update.journal", removing},
                                  {"a/game/updates/staging/c", "new c"},
                                  {"a/game/d/b", "old b"},
                                  {"a/game/d/mine", "m"}}};
        // The first base that serves a list at all is taken.
        QTest::newRow("list not found, init.ini's mirror serves one")
            << RunCase{.log = oneFileLog + Complete,
                       .files = {{"a.txt", "alpha"}},
                       .previousList = list("0", {}),
                       .mirrorList = oneFile};
        QTest::newRow("list never finishes: previous one used")
            << RunCase{.list = list("0", {}),
                       .log = failedList + Complete,
                       .files = {{"a.txt", "alpha"}},
                       .previousList = oneFile,
                       .listDelayMs = 5000};
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
        serve("/hello.txt", c.greeting);
        serve("/list/updates.txt", c.list, c.listDelayMs);
        writeInit(c.lastDate, c.lastTime);
        serve("/m/updates.txt", c.mirrorList);
        if (!c.mirrorList.isEmpty())
            writeFile(path("updates/init.ini"),
                      readAll(path("updates/init.ini")) + "Mirrors=" + Url("/m").toUtf8());
        writeFiles(m_outer->path(), c.before);
        for (auto link = c.links.cbegin(); link != c.links.cend(); ++link)
            QVERIFY(QFile::link(link.value(), m_outer->filePath(link.key())));
        for (const QString &file : c.immutable) {
            if (!setImmutable(m_outer->filePath(file), true))
                QSKIP("cannot mark a file immutable here (needs chattr and root)");
            m_immutable << m_outer->filePath(file);
        }
        const QByteArray initBefore = readAll(path("updates/init.ini"));
        if (!c.previousList.isEmpty())
            writeFile(path("updates/updates.ini"), c.previousList);
        // A list that landed after its run stopped waiting is never used.
        writeFile(SignedList::arrivingListPath(), list("1", {{Url("/files/a.txt"), "", "x"}}));

        frmUpdate window;
        if (c.diskFullAtEnd)
            connect(&window.Downloader2(), &Downloader::DownloadProgress, &window,
                    [&](qint64 cur, qint64 max, const QString &target) {
                        QFile filler(path("filler"));
                        if (cur == max && target != SignedList::arrivingListPath() &&
                            filler.open(QIODevice::Append | QIODevice::Unbuffered))
                            while (filler.write(QByteArray(65536, 'f')) > 0) {
                            }
                    });
        // A run that hangs is closed, and fails below rather than by time-out.
        QTimer::singleShot(20000, &window, &frmUpdate::closeWindow);
        window.formLoad();
        if (!c.listAfterStart.isEmpty()) {
            QVERIFY(window.Downloader2().inFlight() > 0);
            writeFile(path("updates/updates.ini"), c.listAfterStart);
        }
        QTRY_VERIFY_WITH_TIMEOUT(window.doneEnabled() || window.isClosed(), 30000);
        QVERIFY(!window.isClosed());
        const QStringList log =
            QStringList{""} + c.logBefore +
            QStringList{c.greetingLine, "Downloading updates.ini, please wait...",
                        "Receiving Update File", "Update file received. Checking Information...."} +
            c.log;
        QCOMPARE(window.logText().split("\r\n"), log);
        QCOMPARE(window.barValue(), window.barMax());
        QVERIFY(m_boxes.isEmpty());
        QFile::remove(path("filler"));
        QCOMPARE(gameFiles(), c.files);
        // No folder is made but for a file that is there.
        QDirIterator folders(m_outer->path(), QDir::Dirs | QDir::NoDotAndDotDot,
                             QDirIterator::Subdirectories);
        while (folders.hasNext())
            QVERIFY2(!QDir(folders.next()).isEmpty(), qPrintable(folders.filePath()));
        // The record is written exactly when the log says the update is
        // complete; otherwise init.ini keeps every byte.
        QCOMPARE(ReadIni(path("updates/init.ini"), "GENERAL", "UpdateFileURL"), Url("/list"));
        QCOMPARE(ReadIni(path("updates/init.ini"), "GENERAL", "PublicKey"), "");
        if (log.endsWith("Update Complete"))
            QCOMPARE(record(), QStringList({Date, Time}));
        else
            QCOMPARE(readAll(path("updates/init.ini")), initBefore);
    }

    // A second updater started beside a running one shows one box and ends
    // without reading or writing a file; Cancel on the first then ends its
    // transfers and leaves the game folder as it was.
    void secondUpdaterThenCancel()
    {
        writeInit();
        writeFile(path("a.txt"), "old a");
        serve("/list/updates.txt", list("2", {{Url("/files/a.txt"), "", "a.txt"},
                                              {Url("/files/held"), "\\data", "b.dat"}}));
        m_hold = true;
        frmUpdate first;
        first.formLoad();
        QTRY_VERIFY(!first.Downloader2().isInFlight(StagedUpdate::stagedPath("a.txt")));
        QVERIFY(first.Downloader2().isInFlight(StagedUpdate::stagedPath("data/b.dat")));
        // The held request must have reached the server before the second
        // updater starts, or its arrival would look like the second one's.
        QTRY_VERIFY(requests().contains(QStringLiteral("/files/held")));
        // However old its file looks, a live updater's lock is never stale.
        QFile lock(path("updates/updater.lock"));
        QVERIFY(
            lock.open(QIODevice::ReadWrite) &&
            lock.setFileTime(QDateTime::fromSecsSinceEpoch(0), QFileDevice::FileModificationTime));
        const QMap<QString, QByteArray> before = filesBelow(m_outer->path());
        const QStringList requestsBefore = requests();
        frmUpdate second;
        second.formLoad();
        QVERIFY(second.isClosed());
        QCOMPARE(second.logText(), QString());
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes[0].text, QStringLiteral("Another update is running in this folder."));
        QCOMPARE(filesBelow(m_outer->path()), before);
        QCOMPARE(requests(), requestsBefore);

        first.findChild<QPushButton *>(QStringLiteral("cmdCancel"))->click();
        QVERIFY(first.isClosed());
        QCOMPARE(first.Downloader2().inFlight(), 0);
        QCOMPARE(record(), QStringList({"Last Update Canceled", "Last Update Canceled"}));
        QCOMPARE(gameFiles(), (QMap<QString, QByteArray>{{"a.txt", "old a"},
                                                         {"updates/staging/a.txt", "alpha"}}));
    }

    // One update of three pinned files over two runs. A file the server
    // lacks fails the whole update: the game folder and init.ini keep every
    // byte, what arrived stays staged, staged files of no listed file go. The
    // next run fetches only what is missing, the file cut short from where
    // it stopped.
    void wholeUpdateAcrossRuns()
    {
        writeInit();
        const QString a(1000, 'a'), b(1000, 'b'), c(1000, 'c');
        serve("/list/updates.txt", list("3", {{Url("/rel/a"), "", "a", a},
                                              {Url("/rel/b"), "", "b", b},
                                              {Url("/rel/c"), "", "c", c}}));
        serve("/rel/a", a.toUtf8());
        writeFile(path("a"), "old a");
        writeFile(path("b"), b.toUtf8());
        const QByteArray meta =
            "updater partial body 1\n" + Url("/rel/c").toUtf8() + "\n\"v1\"\n\n";
        QVERIFY(QDir().mkpath(StagedUpdate::stagingFolder()));
        for (const QString name : {"c", "gone"}) {
            writeFile(StagedUpdate::stagedPath(name + ".partial"), c.first(500).toUtf8());
            writeFile(StagedUpdate::stagedPath(name + ".partial.meta"), meta);
        }
        writeFile(StagedUpdate::stagedPath("gone"), "gone");
        const QByteArray initBefore = readAll(path("updates/init.ini"));
        const auto logAndRequests = [this] {
            const QStringList log = runToEnd().mid(6);
            // The reads run side by side: the server sees them in any order.
            QStringList served = requests().filter("/rel/");
            served.sort();
            return log + served;
        };
        QCOMPARE(logAndRequests(), QStringList({"Downloading a", "Downloading c",
                                                "Failed to download c", "1 Files Up to Date"}) +
                                       failed(1) + QStringList({"/rel/a", "/rel/c bytes=500-"}));
        QCOMPARE(readAll(path("updates/init.ini")), initBefore);
        QCOMPARE(gameFiles(),
                 (QMap<QString, QByteArray>{{"a", "old a"},
                                            {"b", b.toUtf8()},
                                            {"updates/staging/a", a.toUtf8()},
                                            {"updates/staging/c.partial", c.first(500).toUtf8()},
                                            {"updates/staging/c.partial.meta", meta}}));
        serve("/rel/c", c.toUtf8());
        QCOMPARE(logAndRequests(), QStringList({"Downloading c", "2 Files Up to Date"}) + Complete +
                                       QStringList{"/rel/c bytes=500-"});
        QCOMPARE(gameFiles(), (QMap<QString, QByteArray>{
                                  {"a", a.toUtf8()}, {"b", b.toUtf8()}, {"c", c.toUtf8()}}));
        QCOMPARE(record(), QStringList({Date, Time}));

        // A greeting that cannot be fetched ends the run with its box; so does
        // an init.ini that is missing, unreadable or names no greeting or no
        // list, and the log's last line says which.
        serve("/hello.txt", {});
        const QString init = path("updates/init.ini");
        const QList<std::pair<std::function<void()>, QString>> faults = {
            {[] {}, ""},
            {[&] { QVERIFY(QFile::remove(init)); }, "init.ini is missing: " + init},
            {[&] { QVERIFY(QDir().mkdir(init)); }, "init.ini cannot be read: " + init},
            {[&] {
                 QVERIFY(QDir().rmdir(init));
                 writeFile(init, "[GENERAL]\r\nHello= \r\nUpdateFileURL=" + Url("/l").toUtf8());
             },
             "init.ini names no Hello"},
            {[&] { writeFile(init, "[GENERAL]\r\nHello=" + Url("/hello.txt").toUtf8()); },
             "init.ini names no UpdateFileURL"},
        };
        for (const auto &[breakInit, line] : faults) {
            breakInit();
            m_boxes.clear();
            frmUpdate failing;
            failing.formLoad();
            QVERIFY(failing.isClosed());
            QCOMPARE(failing.logText().split("\r\n").last() + "|" + m_boxes.value(0).text + "|" +
                         m_boxes.value(0).title,
                     line + "|Update Failed, Shutting Down.|Update Failed");
        }
    }

    // A file the game takes while the commit moves (here: marked immutable
    // after the journal) stops the commit: the journal stays, the player is
    // told which file, and the next start goes on to the greeting and a new
    // list, whose commit finishes what the journal still names.
    void fileTakenDuringCommit()
    {
        writeInit();
        serve("/list/updates.txt",
              list("2", {{Url("/files/a.txt"), "", "a"}, {Url("/files/held"), "", "b"}}));
        writeFile(path("b"), "old b");
        // The staged files, then the journal and its folder are on the disk
        // before the first move.
        QStringList calls;
        StagedUpdate::setTraceForTesting([&](const QString &call, const QString &file) {
            calls << call + " " + QDir(m_program.path()).relativeFilePath(file);
            if (call == "rename" && file.endsWith("/b") && setImmutable(file, true))
                m_immutable << file;
        });
        const QString held =
            "Cannot replace b: it is marked immutable or append-only. Close the game, then "
            "start the updater again.";
        QStringList log = runToEnd();
        if (m_immutable.isEmpty())
            QSKIP("cannot mark a file immutable here (needs chattr and root)");
        StagedUpdate::setTraceForTesting({});
        QCOMPARE(calls, (QStringList{"flush updates/staging", "flush updates/update.journal",
                                     "flush updates", "rename a", "rename b"}));
        QCOMPARE(log.mid(log.size() - 3),
                 (QStringList{held, "Finished.......",
                              "Update Not Recorded, Update Will Be Offered Again"}));
        QVERIFY(QFile::exists(StagedUpdate::journalPath()));
        // The game is freed while the next list arrives; that list no longer
        // names b, and its commit moves b all the same.
        serve("/list/updates.txt", list("1", {{Url("/files/slow"), "", "a"}}));
        m_server.server().set_pre_routing_handler([this](const auto &req, auto &) {
            if (req.path == "/list/updates.txt")
                setImmutable(path("b"), false);
            return httplib::Server::HandlerResponse::Unhandled;
        });
        log = runToEnd();
        m_server.server().set_pre_routing_handler({});
        QCOMPARE(log.mid(0, 3), (QStringList{"", held, Greeting}));
        QCOMPARE(log.mid(log.size() - 2), Complete);
        QCOMPARE(gameFiles(), (QMap<QString, QByteArray>{{"a", "slow"}, {"b", "held"}}));
        QCOMPARE(record(), QStringList({Date, Time}));
    }

    // A journal that does not read back as written moves nothing.
    void journalReadBack()
    {
        writeInit();
        writeFile(StagedUpdate::stagedPath("a"), "new a");
        StagedUpdate::setTraceForTesting([&](const QString &, const QString &file) {
            if (file == StagedUpdate::journalPath())
                QVERIFY(QFile::resize(file, QFileInfo(file).size() - 1));
        });
        const auto result = StagedUpdate::commit({Date, Time, {}, {}}, {{"a", "\\a"}});
        QCOMPARE(result.outcome, StagedUpdate::Outcome::NothingMoved);
        QCOMPARE(gameFiles(), (QMap<QString, QByteArray>{{"updates/staging/a", "new a"}}));
    }

    // What the state cache remembers spares reading files, but never vouches
    // for one whose stamp moved (here: rewritten, its modification time put
    // back), nor when the cache itself is damaged. A file an earlier update
    // installed and the new list drops is removed by the commit; the
    // player's own file beside it stays. --verify reads every file even when
    // no update is offered.
    void stateCache()
    {
        writeInit();
        const QString a(1000, 'a'), b(1000, 'b');
        serve("/rel/a", a.toUtf8());
        serve("/rel/b", b.toUtf8());
        const QStringList fileA = {Url("/rel/a"), "", "a", a},
                          fileB = {Url("/rel/b"), "\\d", "b", b};
        const QStringList fileC = {Url("/rel/b"), "\\d", "c", b};
        const auto runWith = [&](const QByteArray &listed, bool verify = false) {
            serve("/list/updates.txt", listed);
            return runToEnd(verify).mid(6);
        };
        // Other bytes of the same size, the modification time put back to the
        // nanosecond.
        const auto spoil = [&](const QString &name) {
            const auto before = FileStamp::of(path(name));
            QVERIFY(before);
            writeFile(path(name), QByteArray(1000, 'x'));
            const timespec times[2] = {
                {0, UTIME_OMIT},
                {time_t(before->modified / 1000000000), long(before->modified % 1000000000)}};
            QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(path(name)).constData(), times, 0) ==
                    0);
        };
        // A cache that vouches for what "a" holds now, as a disk that changed
        // its bytes under an unchanged stamp would; `whole`: with its own
        // digest right.
        const auto forge = [&](bool whole) {
            const auto s = FileStamp::of(path("a"));
            QVERIFY(s);
            const QByteArray sha = QCryptographicHash::hash(a.toUtf8(), QCryptographicHash::Sha256);
            const QByteArray text =
                QString::asprintf(
                    "updater state cache 1\nwritten %lld\na %lld %lld %lld %llu %llu %s 1\n",
                    FileStamp::now() + 1000000000, s->size, s->modified, s->changed, s->device,
                    s->file, sha.toHex().constData())
                    .toLatin1();
            const QByteArray digest = QCryptographicHash::hash(text, QCryptographicHash::Sha256);
            writeFile(path("updates/state.cache"),
                      text + "end " + (whole ? digest.toHex() : "0") + '\n');
        };
        QCOMPARE(runWith(list("3", {fileA, fileB, fileC})),
                 QStringList({"Downloading a", "Downloading b", "Downloading c"}) + Complete);
        writeFile(path("d/save.dat"), "mine");
        spoil("a");
        writeInit("2026-01-01", "later");
        QCOMPARE(runWith(list("3", {fileA, fileB, fileC})),
                 QStringList({"Downloading a", "2 Files Up to Date"}) + Complete);
        // The player changes c: it is the player's from now on.
        writeFile(path("d/c"), "changed");
        writeInit("2026-01-01", "later still");
        const qint64 readBefore = bytesHashed();
        QCOMPARE(runWith(list("1", {fileA})),
                 QStringList({"1 Files Up to Date", "Removing d/b"}) + Complete);
        QCOMPARE(bytesHashed(), readBefore);
        QCOMPARE(gameFiles(), (QMap<QString, QByteArray>{
                                  {"a", a.toUtf8()}, {"d/c", "changed"}, {"d/save.dat", "mine"}}));
        // A cache whose own digest no longer matches is not read at all.
        spoil("a");
        forge(false);
        writeInit("2026-01-01", "last");
        QCOMPARE(runWith(list("1", {fileA})), QStringList({"Downloading a"}) + Complete);
        spoil("a");
        forge(true);
        QCOMPARE(runWith(list("1", {fileA})), NoFiles.mid(1));
        QCOMPARE(runWith(list("1", {fileA}), true), QStringList({"Downloading a"}) + Complete);
        QCOMPARE(readAll(path("a")), a.toUtf8());
    }
};

QTEST_MAIN(tst_UpdateRun)
#include "tst_UpdateRun.moc"
