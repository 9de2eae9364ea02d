#include "tests/support/NginxServer.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

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
// nginx on loopback. It waits for Done once the update has ended, so the test
// kills it after checking what it left behind, and starts it once more.
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
    NginxServer nginx(served.path());
    QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));

    QVERIFY(QDir(served.path()).mkpath("files/maps"));
    const QByteArray map(300000, 'm'); // arrives in several pieces
    WriteFile(served.filePath("hello.txt"), "Hello from nginx");
    WriteFile(served.filePath("files/game.cfg"), "volume=80\n");
    WriteFile(served.filePath("files/maps/level1.map"), map);
    WriteFile(served.filePath("updates.txt"),
              QStringLiteral("[GENERAL]\nTotalFiles=2\nDate=2026-12-01\nTime=18:30\n"
                             "[FILE1]\nURL=%1\nSavePath=\nFileName=game.cfg\n"
                             "[FILE2]\nURL=%2\nSavePath=\\data\\maps\nFileName=level1.map\n")
                  .arg(nginx.url("/files/game.cfg"), nginx.url("/files/maps/level1.map"))
                  .toUtf8());

    // The program folder is the executable's own folder.
    const QString updater = program.filePath("updater");
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_BINARY), updater));
    QVERIFY(QDir(program.path()).mkpath("updates"));
    const QString init = program.filePath("updates/init.ini");
    const QByteArray hello = ("Hello=" + nginx.url("/hello.txt")).toUtf8();
    WriteFile(init, "[GENERAL]\n" + hello + "\nUpdateFileURL=" + nginx.url(QString()).toUtf8() +
                        "\nLastUpdate=\nLastUpdateTime=\n");

    QProcess process;
    qputenv("QT_QPA_PLATFORM", "offscreen"); // inherited by the updater
    process.start(updater, {});
    QVERIFY(process.waitForStarted());

    QTRY_VERIFY_WITH_TIMEOUT(ReadAll(init).contains("LastUpdateTime=18:30"), 60000);
    QCOMPARE(ReadAll(program.filePath("game.cfg")), QByteArray("volume=80\n"));
    QCOMPARE(ReadAll(program.filePath("data/maps/level1.map")), map);
    // Recording the update keeps the other keys of init.ini.
    QVERIFY(ReadAll(init).contains("LastUpdate=2026-12-01"));
    QVERIFY(ReadAll(init).contains(hello));
    // Still open, waiting for Done.
    QCOMPARE(process.state(), QProcess::Running);
    process.kill();
    QVERIFY(process.waitForFinished(5000));

    // The killed updater left its lock behind. A lock whose process has gone
    // does not keep the next start from updating.
    QVERIFY(QFile::exists(program.filePath("updates/updater.lock")));
    const QByteArray list = ReadAll(served.filePath("updates.txt"));
    WriteFile(served.filePath("updates.txt"), QByteArray(list).replace("Time=18:30", "Time=19:45"));
    process.start(updater, {});
    QVERIFY(process.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(ReadAll(init).contains("LastUpdateTime=19:45"), 60000);
    process.kill();
    QVERIFY(process.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(tst_UpdaterProcess)
#include "tst_UpdaterProcess.moc"
