#include "app/ModalBox.h"
#include "app/frmUpdate.h"
#include "download/Downloader.h"
#include "download/ReadFacility.h"
#include "format/ListSignature.h"
#include "profile/modTypes.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TestFiles.h"
#include "update/ExpectedFile.h"
#include "update/ProgramFolder.h"
#include "update/SignedList.h"

#include <QDateTime>
#include <QStandardPaths>
#include <QtTest>

namespace
{

int runTool(const QString &program, const QStringList &args)
{
    QProcess process;
    process.start(program, args);
    return process.waitForFinished(60000) ? process.exitCode() : -1;
}

void editFile(const QString &path, const QByteArray &from, const QByteArray &to)
{
    QByteArray content = readAll(path);
    QVERIFY2(content.contains(from), from.constData());
    writeFile(path, content.replace(content.indexOf(from), from.size(), to));
}

// Nested folders, names that are odd but legal, and an empty file.
const QMap<QString, QByteArray> Game = {
    {"game.cfg", "volume=7\n"},
    {"data/maps/level #1 100% & more.map", QByteArray(70000, 'm')},
    {"donn\u00e9es/\u00fcn\u00efc\u00f6d\u00e9.txt", "unicode"},
    {"docs/read me.txt", "read me"},
    {"empty.dat", ""},
};
const QString List = "www/srv/updates.txt";
const QString Map = "level #1 100% & more.map";
const QString OneFailed = "1 Files Failed, Update Will Be Offered Again";
const QString AllFailed = "5 Files Failed, Update Will Be Offered Again";
const QString Complete = "Update Complete";

// One run: what is done to the served update before the window starts, the
// file the log must name as failed (if any), the log's last line (only
// "Update Complete" installs) and the days after which the built list
// expires. By default the list is refused for its signature. A second
// server (root "mirror") holds the same update; the bases below it (or whole
// addresses) go to --mirror and to init.ini's Mirrors, and the first
// `stopAfterList` servers stop once the list is in.
struct Case {
    std::function<void()> tamper;
    QString failed = {};
    QString lastLine = "The update list's signature is not valid; nothing was installed.";
    int expiresDays = 0;
    QStringList listMirrors{};
    QStringList initMirrors{};
    int stopAfterList = 0;
    bool firstServesNoFile = false;
};

} // namespace

Q_DECLARE_METATYPE(Case)

// A publisher's update made with updater-pack, served by nginx and installed
// by the window; then the same with one thing changed by an attacker or a
// damaged server, which must fail the list or the file and install nothing.
// Each run works in a fresh current folder.
class tst_SignedUpdate : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_recorded; // init.ini's "ListTimestamp"

    // The served list signed again by minisign, by `key`.
    void resign(const QString &key = "key", const QStringList &options = {})
    {
        QCOMPARE(runTool("minisign", QStringList{"-S", "-s", key, "-m", List} + options), 0);
    }
    // The served list changed by its publisher, who signs it again.
    void editSigned(const QByteArray &from, const QByteArray &to)
    {
        editFile(List, from, to);
        resign();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(!QStandardPaths::findExecutable("minisign").isEmpty(),
                 "minisign is not installed (scripts/setup installs it)");
        setModalBoxPresenter(
            [](QWidget *, const ModalBoxRequest &box) { QFAIL(qPrintable(box.text)); });
        ReadFacility::setRetrySecondForTesting(std::chrono::milliseconds(20));
    }

    void update_data()
    {
        QTest::addColumn<Case>("run");
        const QString now = QString::number(QDateTime::currentSecsSinceEpoch());
        QTest::newRow("round trip") << Case{[] {}, {}, Complete};
        QTest::newRow("expires in 30 days") << Case{[] {}, {}, Complete, 30};
        // Only the whole digest tells an installed file from the new one.
        QTest::newRow("installed file of the pinned size, other bytes")
            << Case{[] { writeFile("program/game.cfg", "volume=8\n"); }, {}, Complete};
        QTest::newRow("file changed after signing") << Case{
            [] {
                const QByteArray hex =
                    QCryptographicHash::hash(Game["game.cfg"], QCryptographicHash::Sha256).toHex();
                writeFile("www/srv/files/" + hex.first(2) + '/' + hex, "volume=9\n");
            },
            "game.cfg", OneFailed};
        QTest::newRow("size larger than the file")
            << Case{[this] { editSigned("Size=70000\n", "Size=70001\n"); }, Map, OneFailed};
        QTest::newRow("size malformed")
            << Case{[this] { editSigned("Size=70000\n", "Size=+70000\n"); }, Map, OneFailed};
        QTest::newRow("file not pinned by its hash")
            << Case{[this] { editSigned("SHA256=", "Comment="); }, Map, OneFailed};
        QTest::newRow("signed by another key") << Case{[this] {
            QCOMPARE(runTool(UPDATER_PACK, {"keygen", "-W", "other", "other.pub"}), 0);
            resign("other");
        }};
        QTest::newRow("list changed after signing")
            << Case{[] { editFile(List, "Date=2026-12-07", "Date=2026-12-08"); }};
        QTest::newRow("trusted comment changed") << Case{
            [] { editFile(List + ".minisig", "comment: timestamp:", "comment: timestamp:9"); }};
        // A signature that does not arrive is a list not fetched. The list an
        // earlier run left in place without its signature is checked again
        // before its files, and no file starts.
        QTest::newRow("no signature, list left unsigned")
            << Case{[] {
                        QVERIFY(QFile::remove(List + ".minisig") &&
                                QFile::copy(List, "program/updates/updates.ini"));
                    },
                    "updates.ini", AllFailed};
        // A refused list ends the run: an earlier list left in place, even
        // one that verifies and was never installed, is not used instead.
        QTest::newRow("expired, earlier signed list left in place")
            << Case{[=, this] {
                        QVERIFY(QFile::copy(List, "program/updates/updates.ini") &&
                                QFile::copy(List + ".minisig", SignedList::signaturePath()));
                        resign("key", {"-t", "timestamp:" + now + "\texpires:" + now});
                    },
                    {},
                    "The update list has expired; nothing was installed."};
        QTest::newRow("older than the list installed")
            << Case{[=, this] {
                        m_recorded = QString::number(now.toLongLong() + 3600);
                        QVERIFY(QFile::copy(List, "program/updates/updates.ini"));
                    },
                    {},
                    "The update list is older than the one installed; nothing was installed."};

        const QStringList srv = {"/srv"};
        const auto noFiles = [] { QVERIFY(QDir("www/srv/files").removeRecursively()); };
        QTest::newRow("mirror: first server stopped after the list")
            << Case{[] {}, {}, Complete, 0, srv, {}, 1};
        QTest::newRow("mirror: first server has none of the files")
            << Case{noFiles, {}, Complete, 0, srv};
        QTest::newRow("mirror: first server's file tampered, same size") << Case{
            [] { writeFile("www/srv/files/game.cfg", "volume=9\n"); }, {}, Complete, 0, srv};
        QTest::newRow("mirror: every server stopped after the list")
            << Case{[] {}, "game.cfg", AllFailed, 0, srv, {}, 2};
        // The first base has no list and the next an older one, signed
        // before the list installed: the newer one from the third is taken,
        // and the files go to the first base that served the list.
        QTest::newRow("mirror: older signed list refused, next base's taken")
            << Case{[=, this] {
                        m_recorded = QString::number(now.toLongLong() - 60);
                        QVERIFY(QFile::remove(List));
                        QCOMPARE(runTool("cp", {"-r", "mirror/srv", "mirror/old"}), 0);
                        editFile("mirror/old/updates.txt", "Date=2026-12-07", "Date=2026-11-30");
                        QCOMPARE(runTool("minisign",
                                         {"-S", "-s", "key", "-m", "mirror/old/updates.txt", "-t",
                                          "timestamp:" + QString::number(now.toLongLong() - 3600)}),
                                 0);
                    },
                    {},
                    Complete,
                    0,
                    {},
                    {"/old", "/srv"},
                    0,
                    true};
        // One base that is not http(s) refuses the whole Mirrors value.
        QTest::newRow("mirror: list names a base that is not http(s)")
            << Case{[=, this] {
                        noFiles();
                        editSigned("Mirrors=", "Mirrors=ftp://127.0.0.1/srv ");
                    },
                    "game.cfg", AllFailed, 0, srv};
        QTest::newRow("mirror: init.ini names a base that is not http(s)") << Case{
            [] { QVERIFY(QFile::remove(List)); }, "updates.ini", "No Files to Update", 0, {},
            {"ftp://127.0.0.1/srv", "/srv"}};
    }

    void update()
    {
        QFETCH(Case, run);
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir::setCurrent(m_dir->path()));
        m_recorded.clear();
        for (auto it = Game.cbegin(); it != Game.cend(); ++it)
            writeFile("game/" + it.key(), it.value());
        QVERIFY(QDir().mkpath("program/updates") && QDir().mkpath("www"));
        setProgramFolder(QDir::current().filePath("program"));
        NginxServer nginx("www"), mirror("mirror");
        nginx.setAccessLog(m_dir->filePath("access.log"));
        QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
        QVERIFY2(mirror.start(), qPrintable(mirror.errorString()));
        const auto bases = [&](const QStringList &paths, const QString &option) {
            QStringList out;
            for (const QString &p : paths)
                out << option << (p.startsWith('/') ? mirror.url(p) : p);
            return out.filter(QRegularExpression("."));
        };
        QCOMPARE(runTool(UPDATER_PACK, {"keygen", "-W", "key", "key.pub"}), 0);
        const QStringList expires = {"--expires", QString::number(run.expiresDays)};
        QCOMPARE(runTool(UPDATER_PACK,
                         QStringList{"build", "game", "www/srv", "--url", nginx.url("/srv"),
                                     "--secret", "key", "--date", "2026-12-07"} +
                             (run.expiresDays ? expires : QStringList()) +
                             bases(run.listMirrors, "--mirror")),
                 0);
        QCOMPARE(runTool("cp", {"-r", "www/.", "mirror"}), 0);
        // The tool's signature passes minisign too, and its expiry is in the
        // updater's unit: seconds since the epoch.
        QCOMPARE(runTool("minisign", {"-V", "-p", "key.pub", "-m", List}), 0);
        const QByteArray publicKey = readAll("key.pub").split('\n').value(1);
        const auto signature =
            ListSignature::verify(readAll(List), readAll(List + ".minisig"), publicKey);
        QCOMPARE(signature.expires.value_or(signature.timestamp) - signature.timestamp,
                 qint64(run.expiresDays) * 86400);
        run.tamper();
        // nginx reads through an unprivileged worker.
        QCOMPARE(runTool("chmod", {"-R", "a+rX", "www", "mirror"}), 0);
        const QString init = "program/updates/init.ini";
        writeFile(init,
                  QStringLiteral("[GENERAL]\r\nHello=%1\r\nUpdateFileURL=%2\r\nPublicKey=%3\r\n"
                                 "ListTimestamp=%4\r\n%5")
                      .arg(nginx.url("/srv/hello.txt"), nginx.url("/srv"), publicKey, m_recorded,
                           run.initMirrors.isEmpty()
                               ? QString()
                               : "Mirrors=" + bases(run.initMirrors, {}).join(' ') + "\r\n")
                      .toUtf8());
        const QByteArray initBefore = readAll(init);

        frmUpdate window;
        int arrived = 0;
        connect(&window.Downloader2(), &Downloader::DownloadComplete, &window,
                [&](qint64, const QString &file) {
                    if (file.startsWith(SignedList::arrivingListPath()) && ++arrived == 2)
                        for (NginxServer *server : {&nginx, &mirror})
                            if (run.stopAfterList-- > 0)
                                server->stop();
                });
        window.formLoad();
        QTRY_VERIFY_WITH_TIMEOUT(window.doneEnabled() || window.isClosed(), 30000);
        QVERIFY(!window.isClosed());
        const QStringList log = window.logText().split("\r\n");
        QCOMPARE(log.last(), run.lastLine);
        // Without a file named, no line may say that anything failed to download.
        QCOMPARE(log.filter("Failed to download " + run.failed).isEmpty(), run.failed.isEmpty());
        QMap<QString, QByteArray> installed = filesBelow(programFolder());
        installed.removeIf([](const auto &file) { return file.key().startsWith("updates/"); });
        if (run.lastLine == Complete) {
            QCOMPARE(installed.keys(), Game.keys());
            QVERIFY(installed == Game);
            QCOMPARE(ReadIni(init, "GENERAL", "LastUpdate"), "2026-12-07");
            if (run.firstServesNoFile)
                QVERIFY(!readAll(m_dir->filePath("access.log")).contains("/srv/files/"));
            const qint64 signedAt = ReadIni(init, "GENERAL", "ListTimestamp").toLongLong();
            QVERIFY(qAbs(signedAt - QDateTime::currentSecsSinceEpoch()) < 60);
        } else {
            QCOMPARE(installed.keys(), QStringList());
            QCOMPARE(readAll(init), initBefore);
        }
    }

    // A publisher's life with one player. Without a key, the player takes
    // the first from a list over verified https, and the new host that list
    // names; the next list, from there, rotates the key. A list signed by
    // the old key is refused then, and so is the whole settings section of
    // one with a bad value, though the current key signed it.
    void moveHostAndRotateKey()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir::setCurrent(m_dir->path()));
        const QString tls = "req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                            "-days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 "
                            "-keyout tls.key -out tls.pem";
        QCOMPARE(runTool("openssl", tls.split(' ')), 0);
        ReadFacility::setCaFileForTesting(m_dir->filePath("tls.pem"));
        writeFiles("game", Game);
        QVERIFY(QDir().mkpath("program/updates") && QDir().mkpath("tls") && QDir().mkpath("www"));
        setProgramFolder(QDir::current().filePath("program"));
        NginxServer first("tls"), moved("www");
        first.setTls(m_dir->filePath("tls.pem"), m_dir->filePath("tls.key"));
        QVERIFY2(first.start() && moved.start(), qPrintable(first.errorString()));
        QStringList keys;
        for (const QString name : {"1", "2", "3"}) {
            QCOMPARE(runTool(UPDATER_PACK, {"keygen", "-W", name, name + ".pub"}), 0);
            keys << readAll(name + ".pub").split('\n').value(1);
        }
        const QString init = "program/updates/init.ini";
        // The greeting is read by one call of its own, which trusts only the
        // system's certificates: it comes over http.
        writeFile("www/hello.txt", "hi");
        writeFile(init, "[GENERAL]\nHello=" + moved.url("/hello.txt").toUtf8() +
                            "\nUpdateFileURL=" + first.url("/srv").toUtf8() + "\n");
        const auto build = [&](const QString &root, const QString &url, const QString &secret,
                               const QString &date, const QStringList &settings) {
            QStringList args = {"build",    "game", root + "/srv", "--url", url,
                                "--secret", secret, "--date",      date};
            for (const QString &setting : settings)
                args << "--set" << setting;
            QVERIFY(QDir(root + "/srv").removeRecursively());
            QCOMPARE(runTool(UPDATER_PACK, args), 0);
        };
        const auto lastLine = [] {
            frmUpdate window;
            window.formLoad();
            if (!QTest::qWaitFor([&] { return window.doneEnabled() || window.isClosed(); }, 30000))
                return QStringLiteral("the run did not end");
            return window.logText().split("\r\n").last();
        };
        const QString url = moved.url("/srv");
        build("tls", first.url("/srv"), "1", "2026-12-01",
              {"UpdateFileURL=" + url, "Hello=" + url + "/hello.txt", "PublicKey=" + keys[0]});
        QCOMPARE(runTool("chmod", {"-R", "a+rX", "tls"}), 0);
        QCOMPARE(lastLine(), "Update Complete");
        QCOMPARE(ReadIni(init, "GENERAL", "UpdateFileURL"), url);
        QCOMPARE(ReadIni(init, "GENERAL", "Hello"), url + "/hello.txt");
        build("www", url, "1", "2026-12-02", {"PublicKey=" + keys[1]});
        QCOMPARE(runTool("chmod", {"-R", "a+rX", "www"}), 0);
        QCOMPARE(lastLine(), "Update Complete");
        QCOMPARE(ReadIni(init, "GENERAL", "PublicKey"), keys[1]);
        // The old key's list is refused, and the log says why.
        const QByteArray rotated = readAll(init);
        build("www", url, "1", "2026-12-03", {"PublicKey=" + keys[2]});
        QCOMPARE(runTool("chmod", {"-R", "a+rX", "www"}), 0);
        QCOMPARE(lastLine(), "The update list's signature is not valid; nothing was installed.");
        QCOMPARE(readAll(init), rotated);
        build("www", url, "2", "2026-12-04", {"PublicKey=" + keys[2], "Mirrors=" + url});
        editFile(List, "Mirrors=", "Mirrors=ftp://127.0.0.1/srv ");
        QCOMPARE(runTool("minisign", {"-S", "-s", "2", "-m", List}), 0);
        QCOMPARE(runTool("chmod", {"-R", "a+rX", "www"}), 0);
        QCOMPARE(lastLine(), "Update Complete");
        QCOMPARE(ReadIni(init, "GENERAL", "LastUpdate"), "2026-12-04");
        QCOMPARE(ReadIni(init, "GENERAL", "PublicKey"), keys[1]);
        QCOMPARE(ReadIni(init, "GENERAL", "Mirrors"), "");
    }

    // Keys and signatures made by minisign itself, in both of its forms, and
    // the edge cases of the list's per-file pins.
    void parsers()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir::setCurrent(m_dir->path()));
        const QByteArray list = "[GENERAL]\nTotalFiles=0\n";
        writeFile(List, list);
        // Key a is drawn until its base64 holds a "/": libsodium alone would
        // read any byte above 0x7F as one.
        QByteArray key;
        for (int tries = 0; tries < 30 && !key.contains('/'); ++tries) {
            QCOMPARE(runTool("minisign", {"-G", "-W", "-f", "-p", "a.pub", "-s", "a"}), 0);
            key = readAll("a.pub").split('\n').value(1);
        }
        QCOMPARE(runTool("minisign", {"-G", "-W", "-p", "b.pub", "-s", "b"}), 0);
        const auto verified = [&](const QByteArray &publicKey) {
            return ListSignature::verify(list, readAll(List + ".minisig"), publicKey).failure;
        };
        resign("a");
        QCOMPARE(verified(key), ListSignature::Failure::None); // prehashed, "ED"
        QCOMPARE(verified(QByteArray(key).replace('/', '\xFE')),
                 ListSignature::Failure::MalformedPublicKey);
        resign("a", {"-l"});
        QCOMPARE(verified(key), ListSignature::Failure::None); // legacy, "Ed"
        resign("b");
        QCOMPARE(verified(key), ListSignature::Failure::OtherKey);

        // The signature file comes from the server: each damage is refused,
        // and none is read beyond its own bytes (the sanitizer build says).
        resign("a");
        const QByteArray good = readAll(List + ".minisig");
        const QList<QByteArray> lines = good.split('\n');
        const auto withRecord = [&](QByteArray record) {
            return QByteArray(good).replace(lines[1], record.toBase64());
        };
        QByteArray otherAlgorithm = QByteArray::fromBase64(lines[1]);
        otherAlgorithm[1] = 'X';
        for (const QByteArray &damaged :
             {good.left(good.size() / 2), good + "extra line\n",
              withRecord(QByteArray::fromBase64(lines[1]).chopped(1)), withRecord(otherAlgorithm),
              QByteArray(good).replace(lines[3].left(4), "*" + lines[3].mid(1, 3))}) {
            writeFile(List + ".minisig", damaged);
            QCOMPARE(verified(key), ListSignature::Failure::MalformedSignature);
        }
        writeFile(List + ".minisig", QByteArray(good).replace("\n", "\r\n"));
        QCOMPARE(verified(key), ListSignature::Failure::None);

        QVERIFY(parseExpectedFile("+5", {}).malformed);
        QVERIFY(parseExpectedFile({}, QString(63, u'a')).malformed);
        QVERIFY(parseExpectedFile({}, QString(63, u'a') + u'g').malformed);
    }
};

QTEST_MAIN(tst_SignedUpdate)
#include "tst_SignedUpdate.moc"
