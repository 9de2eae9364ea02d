#include "tests/support/NginxServer.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

bool WriteFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// The built updater, copied into a temporary program folder, updates from
// nginx on loopback. It waits for Done once the update has ended, so the test
// ends it after checking what it left behind.
class tst_UpdaterProcess : public QObject
{
    Q_OBJECT

private slots:
    void updatesFromNginx();
};

void tst_UpdaterProcess::updatesFromNginx()
{
    QTemporaryDir served;
    QTemporaryDir program;
    QVERIFY(served.isValid() && program.isValid());
    NginxServer nginx(served.path());
    QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));

    QVERIFY(QDir(served.path()).mkpath("files/maps"));
    const QByteArray map(300000, 'm');
    QVERIFY(WriteFile(served.filePath("hello.txt"), "Hello from nginx"));
    QVERIFY(WriteFile(served.filePath("files/game.cfg"), "volume=80\n"));
    QVERIFY(WriteFile(served.filePath("files/maps/level1.map"), map));
    QVERIFY(
        WriteFile(served.filePath("updates.txt"),
                  QStringLiteral("[GENERAL]\nTotalFiles=2\nDate=2026-12-01\nTime=18:30\n"
                                 "[FILE1]\nURL=%1\nSavePath=\nFileName=game.cfg\n"
                                 "[FILE2]\nURL=%2\nSavePath=\\data\\maps\nFileName=level1.map\n")
                      .arg(nginx.url("/files/game.cfg"), nginx.url("/files/maps/level1.map"))
                      .toUtf8()));

    // The program folder is the executable's own folder.
    const QString updater = program.filePath("updater");
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_BINARY), updater));
    QVERIFY(QDir(program.path()).mkpath("updates"));
    const QString init = program.filePath("updates/init.ini");
    QVERIFY(WriteFile(init, QStringLiteral("[GENERAL]\nHello=%1\nUpdateFileURL=%2\nLastUpdate=\n"
                                           "LastUpdateTime=\n")
                                .arg(nginx.url("/hello.txt"), nginx.url(QString()))
                                .toUtf8()));

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(environment);
    process.start(updater, {});
    QVERIFY(process.waitForStarted());

    const auto recorded = [&] {
        const QByteArray text = ReadAll(init);
        return text.contains("LastUpdate=2026-12-01") && text.contains("LastUpdateTime=18:30");
    };
    QTRY_VERIFY_WITH_TIMEOUT(recorded(), 60000);
    QCOMPARE(ReadAll(program.filePath("game.cfg")), QByteArray("volume=80\n"));
    QCOMPARE(ReadAll(program.filePath("data/maps/level1.map")), map);
    QVERIFY(ReadAll(init).contains(("Hello=" + nginx.url("/hello.txt")).toUtf8()));
    QVERIFY(ReadAll(program.filePath("updates/updates.ini")).contains("TotalFiles=2"));
    // Still open, waiting for Done.
    QCOMPARE(process.state(), QProcess::Running);

    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

QTEST_GUILESS_MAIN(tst_UpdaterProcess)
#include "tst_UpdaterProcess.moc"
