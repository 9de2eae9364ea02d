#include "profile/modTypes.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestHttpServer.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>

// The built updater, copied into a temporary program folder, installs a
// signed release packed by updater-pack that carries a new updater: the same
// program with another version line. Its first start is stopped by the
// commit's test hook just before the move of the updater itself, as a kill
// at that moment would stop it. The next start takes over the lock the
// killed one left, finishes the commit (never undoes it), the updater
// included, and clears what the killed one left of the list, all before it
// greets the server. The start after that runs the new program, which finds
// nothing left to do.
class tst_UpdaterProcess : public QObject
{
    Q_OBJECT

private slots:
    void killedInCommitThenFinished();
};

void tst_UpdaterProcess::killedInCommitThenFinished()
{
    QTemporaryDir dir;
    const QByteArray oldProgram = readAll(QStringLiteral(UPDATER_BINARY));
    const QByteArray version = "updater version " UPDATER_VERSION "\n";
    QVERIFY(oldProgram.contains(version));
    const QByteArray newVersion = QByteArray(version).replace('.', '-');
    const QByteArray map(300000, 'm'); // arrives in several pieces
    writeFiles(dir.filePath("game"),
               {{"game.cfg", "volume=80\n"},
                {"data/maps/level1.map", map},
                {"updater", QByteArray(oldProgram).replace(version, newVersion)}});
    TestHttpServer server;
    std::atomic<int> greetings{0}, filesServed{0};
    server.server().Get(".*", [&](const httplib::Request &req, httplib::Response &res) {
        greetings += int(req.path == "/hello.txt");
        // Whole files: the updater's own also has a chunk index, and this
        // server answers a Range with a 200, so a delta of it falls back.
        filesServed += int(req.path.starts_with("/files/") && !req.has_header("Range") &&
                           !req.path.ends_with(".chunks"));
        const QByteArray body = readAll(dir.filePath("srv") + QString::fromStdString(req.path));
        res.set_content(body.toStdString(), "application/octet-stream");
        res.status = body.isEmpty() ? 404 : 200;
    });
    server.start();
    const auto pack = [](const QStringList &args) {
        QProcess tool;
        tool.start(UPDATER_PACK, args);
        return tool.waitForFinished(60000) && tool.exitCode() == 0;
    };
    const QString key = dir.filePath("key");
    QVERIFY(pack({"keygen", "-W", key, key + ".pub"}));
    QVERIFY(pack({"build", dir.filePath("game"), dir.filePath("srv"), "--url", server.url(""),
                  "--secret", key, "--include-updater", "--greeting", "hi", "--date", "2026-12-01",
                  "--time", "18:30", "--set", "Mirrors=" + server.url("/m")}));
    // The program folder is the executable's own folder.
    const QString program = dir.filePath("program");
    const QString updater = program + "/updater";
    QVERIFY(QDir().mkpath(program + "/updates") && QFile::copy(UPDATER_BINARY, updater));
    writeFile(program + "/game.cfg", "volume=10\n");
    const QString init = program + "/updates/init.ini";
    writeFile(init, "[GENERAL]\nHello=" + server.url("/hello.txt").toUtf8() +
                        "\nUpdateFileURL=" + server.url("").toUtf8() + "\nPublicKey=" +
                        readAll(key + ".pub").split('\n').value(1) + "\nLastUpdate=\n");
    const QByteArray initBefore = readAll(init);

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("QT_LOGGING_RULES", "updater.run.debug=true");
    environment.insert("UPDATER_EXIT_AFTER_MOVES", "2");
    process.setProcessEnvironment(environment);
    process.start(updater, {});
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 70);
    // Cut short: the map and game.cfg moved, the running updater not yet.
    const QString journal = program + "/updates/update.journal";
    QVERIFY(QFile::exists(journal));
    QVERIFY(QFile::exists(program + "/updates/updater.lock"));
    QCOMPARE(readAll(init), initBefore);
    QCOMPARE(readAll(program + "/game.cfg"), QByteArray("volume=80\n"));
    QCOMPARE(readAll(program + "/data/maps/level1.map"), map);
    QVERIFY(readAll(updater) == oldProgram);
    QCOMPARE(filesServed.load(), 3);

    // What a kill leaves of a list still arriving.
    const QString leftover = program + "/updates/.updates.ini.arriving.k1ll3d.part";
    writeFile(leftover, "[GENERAL]\nTotalFiles=1\n");
    environment.remove("UPDATER_EXIT_AFTER_MOVES");
    process.setProcessEnvironment(environment);
    // Each start runs to the end of its update, the next one with the new
    // program, which fetches nothing and records nothing again.
    QByteArray initAfter;
    for (const int start : {2, 3}) {
        process.start(updater, {});
        QByteArray err;
        QTRY_VERIFY_WITH_TIMEOUT((err += process.readAllStandardError()).contains("Phase::Ended"),
                                 20000);
        QCOMPARE(greetings.load(), start);
        QCOMPARE(filesServed.load(), 3);
        QVERIFY(readAll(updater) == readAll(dir.filePath("game/updater")));
        QVERIFY(QFileInfo(updater).isExecutable());
        // No journal, set aside or not, no staging folder, no leftover.
        QCOMPARE(QDir(program + "/updates")
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList({"init.ini", "updater.lock", "updates.ini", "updates.ini.minisig"}));
        // Recording the update keeps the other keys of init.ini.
        QVERIFY(readAll(init).startsWith(
            QByteArray(initBefore).replace("LastUpdate=\n", "LastUpdate=2026-12-01\n")));
        QCOMPARE(ReadIni(init, "GENERAL", "LastUpdateTime"), "18:30");
        QCOMPARE(ReadIni(init, "GENERAL", "Mirrors"), server.url("/m")); // journaled with it
        QVERIFY(start == 2 || readAll(init) == initAfter);
        initAfter = readAll(init);
        process.kill();
        QVERIFY(process.waitForFinished(5000));
        process.start(updater, {"--version"});
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(process.readAllStandardOutput(), newVersion);
    }
}

QTEST_GUILESS_MAIN(tst_UpdaterProcess)
#include "tst_UpdaterProcess.moc"
