#include "app/ModalBox.h"
#include "app/frmUpdate.h"
#include "format/ChunkIndex.h"
#include "profile/modTypes.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TestFiles.h"
#include "update/ProgramFolder.h"

#include <QRandomGenerator>
#include <QtTest>

namespace
{

constexpr qint64 Size = 3 * 1024 * 1024;

QByteArray randomBytes(qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

// Version 2 of a pack: 1000 bytes inserted near its start and 64 KiB
// rewritten in its middle, so that most chunks of version 1 are found again.
const QByteArray Version1 = randomBytes(Size, 1);
const QByteArray Version2 = QByteArray(Version1)
                                .replace(Size / 2, 65536, randomBytes(65536, 2))
                                .insert(4096, randomBytes(1000, 3));

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

} // namespace

Q_DECLARE_METATYPE(Case)

class tst_DeltaUpdate : public QObject
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

    // Through updater-pack, nginx and the window, as a player updates.
    void update()
    {
        QFETCH(Case, run);
        QTemporaryDir dir;
        QVERIFY(QDir::setCurrent(dir.path()));
        writeFile("game/big.pak", Version2);
        writeFiles("program", run.before);
        QVERIFY(QDir().mkpath("program/updates") && QDir().mkpath("www"));
        setProgramFolder(QDir::current().filePath("program"));
        NginxServer nginx("www");
        nginx.setAccessLog(dir.filePath("access.log"));
        if (run.served == Served::RangesIgnored)
            nginx.addDirectives("max_ranges 0;");
        QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
        QProcess pack;
        pack.start(UPDATER_PACK, {"build", "game", "www/srv", "--url", nginx.url("/srv")});
        QVERIFY(pack.waitForFinished(60000) && pack.exitCode() == 0);
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
        QProcess::execute("chmod", {"-R", "a+rX", "www"});
        writeFile("program/updates/init.ini",
                  QStringLiteral("[GENERAL]\r\nHello=%1\r\nUpdateFileURL=%2\r\n")
                      .arg(nginx.url("/srv/hello.txt"), nginx.url("/srv"))
                      .toUtf8());

        frmUpdate window;
        window.formLoad();
        QTRY_VERIFY_WITH_TIMEOUT(window.doneEnabled() || window.isClosed(), 30000);
        QCOMPARE(window.logText().split("\r\n").last(),
                 run.installed.isNull() ? "1 Files Failed, Update Will Be Offered Again"
                                        : "Update Complete");
        QCOMPARE(readAll("program/big.pak"), run.installed.isNull() ? Version1 : run.installed);
        nginx.stop();
        qint64 sent = 0;
        int fileReads = 0;
        for (const QByteArray &line : readAll(dir.filePath("access.log")).split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.value(2).startsWith("/srv/files/")) {
                sent += fields.value(4).toLongLong();
                fileReads += !fields[2].endsWith(".chunks");
            }
        }
        // A whole file's allowance means the whole file must have travelled.
        QVERIFY2(sent <= run.mostSent && (run.mostSent < Size || sent >= Size),
                 qPrintable(QString::number(sent)));
        if (run.served == Served::RangesIgnored)
            QCOMPARE(fileReads, 1);
    }
};

QTEST_MAIN(tst_DeltaUpdate)
#include "tst_DeltaUpdate.moc"
