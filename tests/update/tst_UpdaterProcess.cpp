#include "tests/support/TestFiles.h"
#include "tests/support/TestHttpServer.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>

// The built updater, copied into a temporary program folder, updates from a
// loopback server. Its first start is stopped by the commit's test hook after
// the first move, as a kill at that moment would stop it. The next start
// takes over the lock the killed one left, finishes the commit (never undoes
// it) and clears what the killed one left of the list, all before it greets
// the server.
class tst_UpdaterProcess : public QObject
{
    Q_OBJECT

private slots:
    void killedInCommitThenFinished();
};

void tst_UpdaterProcess::killedInCommitThenFinished()
{
    TestHttpServer server;
    const QByteArray map(300000, 'm'); // arrives in several pieces
    const QString list =
        "[GENERAL]\nTotalFiles=2\nDate=2026-12-01\nTime=18:30\n[FILE1]\nURL=" + server.url("/cfg") +
        "\nFileName=game.cfg\n[FILE2]\nURL=" + server.url("/map") +
        "\nSavePath=\\data\\maps\nFileName=level1.map\n";
    std::atomic<int> greetings{0};
    server.server().Get(".*", [&](const httplib::Request &req, httplib::Response &res) {
        greetings += int(req.path == "/hello");
        res.set_content(req.path == "/updates.txt" ? list.toStdString()
                        : req.path == "/map"       ? map.toStdString()
                                                   : std::string("volume=80\n"),
                        "application/octet-stream");
    });
    server.start();
    // The program folder is the executable's own folder.
    QTemporaryDir program;
    const QString updater = program.filePath("updater");
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_BINARY), updater));
    QVERIFY(QDir(program.path()).mkpath("updates"));
    writeFile(program.filePath("game.cfg"), "volume=10\n");
    const QString init = program.filePath("updates/init.ini");
    writeFile(init, "[GENERAL]\nHello=" + server.url("/hello").toUtf8() +
                        "\nUpdateFileURL=" + server.url("").toUtf8() + "\nLastUpdate=\n");
    const QByteArray initBefore = readAll(init);

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("UPDATER_EXIT_AFTER_MOVES", "1");
    process.setProcessEnvironment(environment);
    process.start(updater, {});
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 70);
    // Half committed: the journal names both moves, one of them done.
    const QString journal = program.filePath("updates/update.journal");
    QVERIFY(QFile::exists(journal));
    QVERIFY(QFile::exists(program.filePath("updates/updater.lock")));
    QCOMPARE(readAll(init), initBefore);
    QCOMPARE(readAll(program.filePath("game.cfg")) == "volume=80\n",
             !QFile::exists(program.filePath("data/maps/level1.map")));

    // What a kill leaves of a list still arriving.
    const QString leftover = program.filePath("updates/.updates.ini.arriving.k1ll3d.part");
    writeFile(leftover, "[GENERAL]\nTotalFiles=1\n");
    environment.remove("UPDATER_EXIT_AFTER_MOVES");
    process.setProcessEnvironment(environment);
    process.start(updater, {});
    QTRY_VERIFY_WITH_TIMEOUT(greetings == 2, 10000);
    QCOMPARE(readAll(program.filePath("game.cfg")), QByteArray("volume=80\n"));
    QCOMPARE(readAll(program.filePath("data/maps/level1.map")), map);
    // Recording the update keeps the other keys of init.ini.
    QCOMPARE(readAll(init),
             QByteArray(initBefore).replace("LastUpdate=\n", "LastUpdate=2026-12-01\n") +
                 "LastUpdateTime=18:30\n");
    QVERIFY(!QFile::exists(journal));
    QVERIFY(!QFile::exists(program.filePath("updates/staging")));
    QVERIFY(!QFile::exists(leftover));
    process.kill();
    QVERIFY(process.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(tst_UpdaterProcess)
#include "tst_UpdaterProcess.moc"
