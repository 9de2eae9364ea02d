#include "app/ModalBox.h"
#include "app/frmUpdate.h"
#include "profile/modTypes.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TestFiles.h"
#include "update/ProgramFolder.h"

#include <QRandomGenerator>
#include <QtTest>

namespace
{

QByteArray randomBytes(qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

// Version 2 changes a small file, 64 KiB in the middle of the pack (which
// has a chunk index, so only its changed chunks travel), drops one file and
// adds another; the rest keeps its bytes and so its address.
const QByteArray Pack = randomBytes(2 * 1024 * 1024, 1);
const QMap<QString, QByteArray> Version1 = {{"game.cfg", "volume=7\n"},
                                            {"data/big.pak", Pack},
                                            {"docs/old.txt", "gone in 2\n"},
                                            {"docs/readme.txt", "read me\n"}};
const QMap<QString, QByteArray> Version2 = {
    {"game.cfg", "volume=8\n"},
    {"data/big.pak", QByteArray(Pack).replace(Pack.size() / 2, 65536, randomBytes(65536, 2))},
    {"docs/new.txt", "new in 2\n"},
    {"docs/readme.txt", "read me\n"}};

// The origin sends the cache rules the README gives publishers; the edge
// caches what they allow, or with `edge` set, overrides them as it likes.
struct Case {
    QString edge;
    QMap<QString, QByteArray> installed;
    QString lastLine;
};

} // namespace

Q_DECLARE_METATYPE(Case)

// A player installs version 1 through a caching proxy, the publisher builds
// version 2 into the same server folder, and the player updates through the
// same proxy. The updater asks for no-cache on every request, but a shared
// cache is free to ignore that (nginx's proxy_cache does): only the origin's
// answers decide what may be served stale.
class tst_CdnCache : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        setModalBoxPresenter(
            [](QWidget *, const ModalBoxRequest &box) { QFAIL(qPrintable(box.text)); });
    }

    void update_data()
    {
        QTest::addColumn<Case>("run");
        QTest::newRow("edge obeys the origin: version 2 arrives")
            << Case{{}, Version2, "Update Complete"};
        QTest::newRow("edge keeps updates.txt a day: version 1 stays")
            << Case{"proxy_ignore_headers Cache-Control Expires;", Version1, "No Files to Update"};
    }

    void update()
    {
        QFETCH(Case, run);
        QTemporaryDir dir;
        QVERIFY(QDir::setCurrent(dir.path()));
        writeFiles("game1", Version1);
        writeFiles("game2", Version2);
        QVERIFY(QDir().mkpath("program/updates") && QDir().mkpath("www"));
        setProgramFolder(QDir::current().filePath("program"));
        NginxServer origin("www"), edge("www");
        // What publishers are told to serve: the lists revalidated, stored files kept.
        origin.addDirectives(R"(location /srv/ { add_header Cache-Control "no-cache"; }
            location /srv/files/ {
                add_header Cache-Control "public, max-age=31536000, immutable";
            })");
        QVERIFY2(origin.start(), qPrintable(origin.errorString()));
        edge.setCachingProxy(origin.url({}), run.edge);
        QVERIFY2(edge.start(), qPrintable(edge.errorString()));
        const auto pack = [&](const QStringList &args) {
            QProcess process;
            process.start(UPDATER_PACK, args);
            return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
                       ? process.exitCode()
                       : -1;
        };
        QCOMPARE(pack({"keygen", "-W", "key", "key.pub"}), 0);
        const auto build = [&](const QString &game, const QString &date) {
            QCOMPARE(pack({"build", game, "www/srv", "--url", edge.url("/srv"), "--secret", "key",
                           "--date", date}),
                     0);
            QCOMPARE(QProcess::execute("chmod", {"-R", "a+rX", "www"}), 0);
        };
        const auto install = [](const QMap<QString, QByteArray> &expected, const QString &line) {
            frmUpdate window;
            window.formLoad();
            QTRY_VERIFY_WITH_TIMEOUT(window.doneEnabled() || window.isClosed(), 30000);
            QCOMPARE(window.logText().split("\r\n").last(), line);
            QMap<QString, QByteArray> installed = filesBelow(programFolder());
            installed.removeIf([](const auto &file) { return file.key().startsWith("updates/"); });
            QCOMPARE(installed.keys(), expected.keys());
            QVERIFY(installed == expected);
        };
        build("game1", "2026-12-07");
        writeFile("program/updates/init.ini",
                  QStringLiteral("[GENERAL]\r\nHello=%1\r\nUpdateFileURL=%2\r\nPublicKey=%3\r\n")
                      .arg(edge.url("/srv/hello.txt"), edge.url("/srv"),
                           readAll("key.pub").split('\n').value(1))
                      .toUtf8());
        install(Version1, "Update Complete");
        if (QTest::currentTestFailed())
            return;
        build("game2", "2026-12-08");
        install(run.installed, run.lastLine);
    }
};

QTEST_MAIN(tst_CdnCache)
#include "tst_CdnCache.moc"
