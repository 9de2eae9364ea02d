#include "app/ModalBox.h"
#include "app/frmUpdate.h"
#include "profile/modTypes.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TestFiles.h"
#include "update/ProgramFolder.h"

#include <QtTest>

namespace
{

constexpr qint64 Size = 3 * 1024 * 1024;

// Version 2 of a pack: 1000 bytes inserted near its start and 64 KiB
// rewritten in its middle, so that most chunks of version 1 are found again.
const QByteArray Version1 = randomBytes(Size, 1);
const QByteArray Version2 = QByteArray(Version1)
                                .replace(Size / 2, 65536, randomBytes(65536, 2))
                                .insert(4096, randomBytes(1000, 3));

// A game whose version 2 changes a small file and the pack, drops one file
// and adds another; the rest keeps its bytes and so its address.
const QMap<QString, QByteArray> Game1 = {{"game.cfg", "volume=7\n"},
                                         {"data/big.pak", Version1},
                                         {"docs/old.txt", "gone in 2\n"},
                                         {"docs/readme.txt", "read me\n"}};
const QMap<QString, QByteArray> Game2 = {{"game.cfg", "volume=8\n"},
                                         {"data/big.pak", Version2},
                                         {"docs/new.txt", "new in 2\n"},
                                         {"docs/readme.txt", "read me\n"}};

enum class Served { AsBuilt, IndexTampered, RangesIgnored, FileTampered };

// One update of big.pak to version 2: what the program folder holds first,
// how the server differs from what updater-pack built, and the most bytes of
// files/ (the pack and its index) nginx may send for it; an empty `installed`
// means the update fails and version 1 stays.
struct Case {
    QMap<QString, QByteArray> before;
    Served served = Served::AsBuilt;
    qint64 mostSent = Size / 4;
    QByteArray installed = Version2;
};

// Builds `game` into www/srv for players who fetch it from `url`, readable
// by nginx's worker; false when updater-pack or chmod fails.
bool build(const QString &game, const QString &url, const QStringList &more = {})
{
    QProcess pack;
    pack.start(UPDATER_PACK, QStringList{"build", game, "www/srv", "--url", url} + more);
    return pack.waitForFinished(60000) && pack.exitStatus() == QProcess::NormalExit &&
           pack.exitCode() == 0 && QProcess::execute("chmod", {"-R", "a+rX", "www"}) == 0;
}

// Points the program at the list on `server`, signed by `publicKey` if given.
void writeInit(const NginxServer &server, const QString &publicKey = {})
{
    writeFile(
        "program/updates/init.ini",
        QStringLiteral("[GENERAL]\r\nHello=%1\r\nUpdateFileURL=%2\r\n")
                .arg(server.url("/srv/hello.txt"), server.url("/srv"))
                .toUtf8() +
            (publicKey.isEmpty() ? QByteArray() : "PublicKey=" + publicKey.toUtf8() + "\r\n"));
}

// One run of the window, as a player updates: the last line of its log, and
// the bar's range at the end.
QString runWindow(float *barMax = nullptr)
{
    frmUpdate window;
    window.formLoad();
    if (!QTest::qWaitFor([&] { return window.doneEnabled() || window.isClosed(); }, 30000))
        return "the run did not end";
    if (barMax)
        *barMax = window.barMax();
    return window.logText().split("\r\n").last();
}

} // namespace

Q_DECLARE_METATYPE(Case)

// Updates through updater-pack, nginx and the window, in a fresh folder
// holding the game, the program folder and the served one.
class tst_DeltaUpdate : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

private slots:
    void initTestCase()
    {
        setModalBoxPresenter(
            [](QWidget *, const ModalBoxRequest &box) { QFAIL(qPrintable(box.text)); });
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir::setCurrent(m_dir->path()) && QDir().mkpath("program/updates") &&
                QDir().mkpath("www"));
        setProgramFolder(QDir::current().filePath("program"));
    }

    void update_data()
    {
        QTest::addColumn<Case>("run");
        const QMap<QString, QByteArray> old{{"big.pak", Version1}};
        const qint64 whole = Size + 200000;
        QTest::newRow("old version installed: its changed chunks travel") << Case{old};
        QTest::newRow("none installed: the whole file") << Case{{}, Served::AsBuilt, whole};
        // As a kill leaves it: the first half of the file built, the rest
        // not yet arrived.
        QByteArray halfBuilt = Version2.left(Version2.size() / 2);
        halfBuilt.resize(Version2.size(), '\0');
        QTest::newRow("delta cut short: continued")
            << Case{{{"updates/staging/big.pak.delta", halfBuilt}},
                    Served::AsBuilt,
                    Version2.size() / 2 + 300000};
        QTest::newRow("index tampered with: the whole file")
            << Case{old, Served::IndexTampered, whole};
        // One request for the file: its whole body, taken at once.
        QTest::newRow("Range ignored: the whole body of the first answer")
            << Case{old, Served::RangesIgnored, whole};
        QTest::newRow("file tampered with: nothing installed")
            << Case{old, Served::FileTampered, 3 * whole, {}};
    }

    void update()
    {
        QFETCH(Case, run);
        writeFile("game/big.pak", Version2);
        writeFiles("program", run.before);
        NginxServer nginx("www");
        nginx.setAccessLog(m_dir->filePath("access.log"));
        if (run.served == Served::RangesIgnored)
            nginx.addDirectives("max_ranges 0;");
        QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
        QVERIFY(build("game", nginx.url("/srv")));
        const QByteArray list = readAll("www/srv/updates.txt");
        const auto served = [&](const char *key) {
            const qsizetype at = list.indexOf(QByteArray(key) + '=') + qstrlen(key) + 1;
            return "www" + QUrl(list.mid(at, list.indexOf('\n', at) - at)).path();
        };
        if (run.served == Served::IndexTampered) {
            QByteArray index = readAll(served("ChunksURL"));
            writeFile(served("ChunksURL"), index.replace(100, 1, "x"));
        } else if (run.served == Served::FileTampered) {
            QByteArray file = readAll(served("URL"));
            writeFile(served("URL"), file.replace(Size / 2 + 30000, 1, "x"));
        }
        writeInit(nginx);
        float barMax = 0;
        QCOMPARE(runWindow(&barMax), run.installed.isNull()
                                         ? "1 Files Failed, Update Will Be Offered Again"
                                         : "Update Complete");
        QCOMPARE(readAll("program/big.pak"), run.installed.isNull() ? Version1 : run.installed);
        nginx.stop();
        qint64 sent = 0;
        int fileReads = 0;
        for (const QByteArray &line : readAll(m_dir->filePath("access.log")).split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.value(2).startsWith("/srv/files/")) {
                sent += fields.value(4).toLongLong();
                fileReads += !fields[2].endsWith(".chunks");
            }
        }
        // A whole file's allowance means the whole file must have travelled.
        QVERIFY2(sent <= run.mostSent && (run.mostSent < Size || sent >= Size),
                 qPrintable(QString::number(sent)));
        // The bar counts what travels, not the file's size.
        QVERIFY2(barMax <= run.mostSent, qPrintable(QString::number(barMax)));
        if (run.served == Served::RangesIgnored)
            QCOMPARE(fileReads, 1);
    }

    // The origin sends the cache rules the README gives publishers; the edge
    // caches what they allow, or with `edgeRules`, overrides them as it likes.
    void cachingProxy_data()
    {
        QTest::addColumn<QString>("edgeRules");
        QTest::newRow("edge obeys the origin: version 2 arrives") << QString();
        QTest::newRow("edge keeps updates.txt a day: version 1 stays")
            << "proxy_ignore_headers Cache-Control Expires;";
    }

    // A player installs version 1 through a caching proxy, the publisher
    // builds version 2 into the same server folder, and the player updates
    // through the same proxy. The updater asks for no-cache on every request,
    // but a shared cache is free to ignore that (nginx's proxy_cache does):
    // only the origin's answers decide what may be served stale.
    void cachingProxy()
    {
        QFETCH(QString, edgeRules);
        writeFiles("game1", Game1);
        writeFiles("game2", Game2);
        NginxServer origin("www"), edge("www");
        // What publishers are told to serve: the lists revalidated, stored files kept.
        origin.addDirectives(R"(location /srv/ { add_header Cache-Control "no-cache"; }
            location /srv/files/ {
                add_header Cache-Control "public, max-age=31536000, immutable";
            })");
        QVERIFY2(origin.start(), qPrintable(origin.errorString()));
        edge.setCachingProxy(origin.url({}), edgeRules);
        QVERIFY2(edge.start(), qPrintable(edge.errorString()));
        QCOMPARE(QProcess::execute(UPDATER_PACK, {"keygen", "-W", "key", "key.pub"}), 0);
        const auto installed = [] {
            QMap<QString, QByteArray> files = filesBelow(programFolder());
            files.removeIf([](const auto &file) { return file.key().startsWith("updates/"); });
            return files;
        };
        QVERIFY(build("game1", edge.url("/srv"), {"--secret", "key", "--date", "2026-12-07"}));
        writeInit(edge, readAll("key.pub").split('\n').value(1));
        QCOMPARE(runWindow(), "Update Complete");
        QVERIFY(installed() == Game1);
        QVERIFY(build("game2", edge.url("/srv"), {"--secret", "key", "--date", "2026-12-08"}));
        const bool obeyed = edgeRules.isEmpty();
        QCOMPARE(runWindow(), obeyed ? "Update Complete" : "No Files to Update");
        QVERIFY(installed() == (obeyed ? Game2 : Game1));
    }
};

QTEST_MAIN(tst_DeltaUpdate)
#include "tst_DeltaUpdate.moc"
