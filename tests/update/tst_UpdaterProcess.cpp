#include "tests/support/NginxServer.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace
{

void WriteFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
}

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// The built updater, copied into a temporary program folder, updates from
// nginx on loopback. The first start is stopped by the test hook after the
// first move of its commit, as a kill at that moment would stop it; the next
// start, with the server gone, finishes the commit and records the update
// before it ever reaches the network. The updater waits for Done once the
// update has ended, so the test kills it after checking what it left behind.
class tst_UpdaterProcess : public QObject
{
    Q_OBJECT

private slots:
    void updatesFromNginx();
};

void tst_UpdaterProcess::updatesFromNginx()
{
    QTemporaryDir served, program;
    QVERIFY(served.isValid() && program.isValid());
    auto nginx = std::make_unique<NginxServer>(served.path());
    QVERIFY2(nginx->start(), qPrintable(nginx->errorString()));

    QVERIFY(QDir(served.path()).mkpath("files/maps"));
    const QByteArray map(300000, 'm'); // arrives in several pieces
    WriteFile(served.filePath("hello.txt"), "Hello from nginx");
    WriteFile(served.filePath("files/game.cfg"), "volume=80\n");
    WriteFile(served.filePath("files/maps/level1.map"), map);
    WriteFile(served.filePath("updates.txt"),
              QStringLiteral("[GENERAL]\nTotalFiles=2\nDate=2026-12-01\nTime=18:30\n"
                             "[FILE1]\nURL=%1\nSavePath=\nFileName=game.cfg\n"
                             "[FILE2]\nURL=%2\nSavePath=\\data\\maps\nFileName=level1.map\n")
                  .arg(nginx->url("/files/game.cfg"), nginx->url("/files/maps/level1.map"))
                  .toUtf8());

    // The program folder is the executable's own folder.
    const QString updater = program.filePath("updater");
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_BINARY), updater));
    QVERIFY(QDir(program.path()).mkpath("updates"));
    WriteFile(program.filePath("game.cfg"), "volume=10\n");
    const QString init = program.filePath("updates/init.ini");
    const QByteArray hello = ("Hello=" + nginx->url("/hello.txt")).toUtf8();
    WriteFile(init, "[GENERAL]\n" + hello + "\nUpdateFileURL=" + nginx->url(QString()).toUtf8() +
                        "\nLastUpdate=\nLastUpdateTime=\n");
    const QByteArray initBefore = ReadAll(init);

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("UPDATER_EXIT_AFTER_MOVES", "1");
    process.setProcessEnvironment(environment);
    process.start(updater, {});
    QVERIFY(process.waitForStarted());
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 70);

    // Half committed: the journal names both moves, one of them done.
    const QString journal = program.filePath("updates/update.journal");
    QVERIFY(QFile::exists(journal));
    QCOMPARE(ReadAll(init), initBefore);
    const bool cfgMoved = ReadAll(program.filePath("game.cfg")) == "volume=80\n";
    QCOMPARE(cfgMoved, !QFile::exists(program.filePath("data/maps/level1.map")));

    // The server is gone; the next start still finishes the commit. The
    // killed updater left its lock behind, which does not stop it either.
    nginx.reset();
    QVERIFY(QFile::exists(program.filePath("updates/updater.lock")));
    environment.remove("UPDATER_EXIT_AFTER_MOVES");
    process.setProcessEnvironment(environment);
    process.start(updater, {});
    QVERIFY(process.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(ReadAll(init).contains("LastUpdateTime=18:30"), 60000);
    QCOMPARE(ReadAll(program.filePath("game.cfg")), QByteArray("volume=80\n"));
    QCOMPARE(ReadAll(program.filePath("data/maps/level1.map")), map);
    // Recording the update keeps the other keys of init.ini.
    QVERIFY(ReadAll(init).contains("LastUpdate=2026-12-01"));
    QVERIFY(ReadAll(init).contains(hello));
    // The record is written before the journal and the staging folder go:
    // the updater may still be between the two.
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(journal), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(program.filePath("updates/staging")), 10000);
    // Still open, at the failure box of the greeting that found no server.
    QCOMPARE(process.state(), QProcess::Running);
    process.kill();
    QVERIFY(process.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(tst_UpdaterProcess)
#include "tst_UpdaterProcess.moc"
