#include "profile/modTypes.h"
#include "tests/support/TestFiles.h"
#include "update/ListSignature.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

namespace
{

struct Ran {
    int exitCode = -1;
    QString out;
    QString err;
};

Ran Run(const QString &program, const QStringList &args)
{
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, args);
    Ran ran;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return ran;
    ran.exitCode = process.exitCode();
    ran.out = QString::fromUtf8(process.readAllStandardOutput());
    ran.err = QString::fromUtf8(process.readAllStandardError());
    return ran;
}

Ran Pack(const QStringList &args)
{
    return Run(QStringLiteral(UPDATER_PACK), args);
}

void WriteFile(const QString &path, const QByteArray &content)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly) && file.write(content) == content.size(),
             qPrintable(path));
}

// Nested folders and names that are odd but legal for the updater.
const QStringList OddTree = {
    QStringLiteral("game.cfg"),
    QStringLiteral(" leading blank.txt"),
    QStringLiteral("data/maps/level #1 100% & more.map"),
    QStringLiteral("data/maps/a..b.txt"),
    QStringLiteral("données/ünïcödé ☃.txt"),
    QStringLiteral("'quoted'/'x'"),
};

const QString BaseUrl = QStringLiteral("http://127.0.0.1:8080/game-updates/v1");

} // namespace

// The publisher's tool, run as a program: its key pair and signatures
// against the real minisign, the server folder it lays out read back through
// the updater's own profile reader, and the input it refuses.
class tst_UpdaterPack : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_minisign;
    QString Path(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase();
    void keysAndLayout();
    void refusals_data();
    void refusals();
    void usage();
};

void tst_UpdaterPack::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
    QVERIFY2(!m_minisign.isEmpty(), "minisign is not installed (scripts/setup installs it)");
    for (qsizetype n = 0; n < OddTree.size(); ++n)
        WriteFile(Path("game/" + OddTree[n]), QByteArray(int(n) * 1000 + 1, char('a' + n)));
}

void tst_UpdaterPack::keysAndLayout()
{
    // Our key pair: owner-only secret, the PublicKey line printed, no overwriting.
    const Ran keygen = Pack({"keygen", Path("our.key"), Path("our.pub")});
    QCOMPARE(keygen.exitCode, 0);
    const QByteArray ourPublic = ReadAll(Path("our.pub")).split('\n').value(1);
    QCOMPARE(keygen.out, "PublicKey=" + ourPublic + "\n");
    QCOMPARE(QFileInfo(Path("our.key")).permissions() & ~(QFile::ReadUser | QFile::WriteUser),
             QFile::ReadOwner | QFile::WriteOwner);
    const QByteArray secret = ReadAll(Path("our.key"));
    // The checksum minisign verifies when it decrypts a key: BLAKE2b-256 over
    // "Ed", the key id and the 64-byte secret key, stored last.
    const QByteArray record = QByteArray::fromBase64(secret.split('\n').value(1));
    QCOMPARE(record.size(), 158);
    QCOMPARE(record.first(6), QByteArray("Ed\0\0B2", 6));
    QCOMPARE(record.sliced(126), QCryptographicHash::hash("Ed" + record.sliced(54, 72),
                                                          QCryptographicHash::Blake2b_256));
    QCOMPARE(Pack({"keygen", Path("our.key"), Path("other.pub")}).exitCode, 1);
    QCOMPARE(ReadAll(Path("our.key")), secret);
    QVERIFY(!QFile::exists(Path("other.pub")));

    // minisign signs with our secret key, and its -W keys work with the tool.
    QCOMPARE(Run(m_minisign, {"-S", "-s", Path("our.key"), "-m", Path("our.pub")}).exitCode, 0);
    QCOMPARE(Run(m_minisign, {"-V", "-p", Path("our.pub"), "-m", Path("our.pub")}).exitCode, 0);
    QCOMPARE(Run(m_minisign, {"-G", "-W", "-p", Path("mini.pub"), "-s", Path("mini.key")}).exitCode,
             0);

    for (const QString key : {"our", "mini"}) {
        const QString server = Path("server-" + key);
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        const Ran build = Pack({"build", Path("game"), server, "--url", BaseUrl + "/", "--secret",
                                Path(key + ".key"), "--date", "2026-12-07", "--time", "01:02:03",
                                "--greeting", "Welcome, player", "--expires", "3"});
        const qint64 after = QDateTime::currentSecsSinceEpoch();
        QVERIFY2(build.exitCode == 0, qPrintable(build.err));
        const QByteArray publicKey = ReadAll(Path(key + ".pub")).split('\n').value(1);
        QVERIFY2(build.out.contains("\nHello=" + BaseUrl + "/hello.txt\nUpdateFileURL=" + BaseUrl +
                                    "\nPublicKey=" + publicKey + "\n"),
                 qPrintable(build.out));

        // The signature: minisign accepts it, and so does the updater's check.
        const QString list = server + "/updates.txt";
        const Ran verified = Run(m_minisign, {"-V", "-p", Path(key + ".pub"), "-m", list});
        QVERIFY2(verified.exitCode == 0, qPrintable(verified.err));
        const ListSignature::Result result =
            ListSignature::Verify(ReadAll(list), ReadAll(list + ".minisig"), publicKey);
        QCOMPARE(result.failure, ListSignature::Failure::None);
        const QByteArray signatureLine = ReadAll(list + ".minisig").split('\n').value(1);
        QCOMPARE(QByteArray::fromBase64(signatureLine).left(2), "ED"); // prehashed
        QVERIFY(result.timestamp >= before && result.timestamp <= after);
        QCOMPARE(result.expires.value_or(0), result.timestamp + 3 * 86400);
        QCOMPARE(ReadAll(server + "/hello.txt"), "Welcome, player");

        // The list, read as the updater reads it, names every file exactly once.
        QCOMPARE(ReadIni(list, "GENERAL", "TotalFiles"), QString::number(OddTree.size()));
        QCOMPARE(ReadIni(list, "GENERAL", "Date"), "2026-12-07");
        QCOMPARE(ReadIni(list, "GENERAL", "Time"), "01:02:03");
        QStringList listed;
        for (qsizetype n = 1; n <= OddTree.size(); ++n) {
            const QString section = QStringLiteral("FILE%1").arg(n);
            const QString savePath = ReadIni(list, section, "SavePath");
            const QString name = ReadIni(list, section, "FileName");
            QString relative = savePath.isEmpty() ? name : savePath + u'\\' + name;
            QVERIFY2(savePath.isEmpty() || savePath.startsWith(u'\\'), qPrintable(savePath));
            relative = relative.mid(savePath.isEmpty() ? 0 : 1).replace(u'\\', u'/');
            listed.append(relative);
            const QByteArray content = ReadAll(Path("game/" + relative));
            QVERIFY2(!content.isEmpty(), qPrintable(relative));
            QCOMPARE(ReadAll(server + "/files/" + relative), content);
            QCOMPARE(ReadIni(list, section, "Size"), QString::number(content.size()));
            QCOMPARE(ReadIni(list, section, "SHA256"),
                     QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
            // The address decodes to the file's path below the base address.
            const QUrl url(ReadIni(list, section, "URL"), QUrl::StrictMode);
            QVERIFY2(url.isValid() && !url.hasFragment(), qPrintable(url.toString()));
            QCOMPARE(url.adjusted(QUrl::RemovePath).toString(), "http://127.0.0.1:8080");
            QCOMPARE(url.path(QUrl::FullyDecoded),
                     QUrl(BaseUrl).path(QUrl::FullyDecoded) + "/files/" + relative);
        }
        listed.sort();
        QStringList expected = OddTree;
        expected.sort();
        QCOMPARE(listed, expected);
    }
}

void tst_UpdaterPack::refusals_data()
{
    QTest::addColumn<QStringList>("files");   // created in a fresh game folder
    QTest::addColumn<QStringList>("options"); // after "build GAME SERVER"
    QTest::addColumn<bool>("serverOccupied"); // SERVER holds a file already
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message"); // part of what stderr must say

    const QStringList legal = {"a/b.txt"};
    const QStringList url = {"--url", "http://127.0.0.1/x"};
    QTest::newRow("colon") << QStringList{"a/b.txt", "a/c:d.txt"} << url << false << 1
                           << "\"a/c:d.txt\"";
    QTest::newRow("control character")
        << QStringList{"a/tab\there.txt"} << url << false << 1 << "\"a/tab\there.txt\"";
    QTest::newRow("dots Windows drops")
        << QStringList{"a/.../x.txt"} << url << false << 1 << "\"a/...\"";
    QTest::newRow("backslash") << QStringList{"a\\b.txt"} << url << false << 1 << "\"a\\b.txt\"";
    QTest::newRow("names differing by case")
        << QStringList{"Data/x.txt", "data/y.txt"} << url << false << 1 << "\"Data\" and \"data\"";
    QTest::newRow("the updater's profile")
        << QStringList{"Updates/INIT.ini"} << url << false << 1 << "\"Updates/INIT.ini\"";
    // Seven folders of 80 snowmen: 5040 bytes of address once percent-encoded.
    QTest::newRow("address the updater would cut")
        << QStringList{QStringList(7, QString(80, QChar(0x2603))).join(u'/') + "/x"} << url << false
        << 1 << "has an address longer";
    // A key as minisign writes it with a password: "Sc" (scrypt) as its KDF.
    QCOMPARE(Pack({"keygen", Path("locked.key"), Path("locked.pub")}).exitCode, 0);
    QList<QByteArray> locked = ReadAll(Path("locked.key")).split('\n');
    locked[1] = QByteArray::fromBase64(locked[1]).replace(2, 2, "Sc").toBase64();
    QFile::remove(Path("locked.key"));
    WriteFile(Path("locked.key"), locked.join('\n'));
    QTest::newRow("password-protected key")
        << legal << url + QStringList{"--secret", Path("locked.key")} << false << 1
        << "password-protected";
    QTest::newRow("server folder in use") << legal << url << true << 1 << "not an empty folder";
    QTest::newRow("no --url") << legal << QStringList{} << false << 2 << "--url";
    QTest::newRow("--expires without --secret")
        << legal << url + QStringList{"--expires", "3"} << false << 2 << "--expires";
    QTest::newRow("--expires not days")
        << legal << url + QStringList{"--secret", "k", "--expires", "3d"} << false << 2
        << "--expires";
    QTest::newRow("unknown option")
        << legal << url + QStringList{"--sign", "k"} << false << 2 << "--sign";
}

void tst_UpdaterPack::refusals()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, options);
    QFETCH(bool, serverOccupied);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    QTemporaryDir dir;
    for (const QString &file : files)
        WriteFile(dir.filePath("game/" + file), "x");
    const QString server = dir.filePath("server");
    if (serverOccupied)
        WriteFile(server + "/keep.txt", "mine");

    const Ran ran = Pack(QStringList{"build", dir.filePath("game"), server} + options);
    QCOMPARE(ran.exitCode, exitCode);
    QVERIFY2(ran.err.contains(message), qPrintable(ran.err));
    // Nothing written: no server folder, or only what was there, and no
    // half-built folder beside it.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             serverOccupied ? QStringList({"game", "server"}) : QStringList({"game"}));
    if (serverOccupied)
        QCOMPARE(QDir(server).entryList(QDir::Files), QStringList{"keep.txt"});
}

void tst_UpdaterPack::usage()
{
    const Ran help = Pack({"--help"});
    QCOMPARE(help.exitCode, 0);
    QVERIFY(help.out.contains("updater-pack build GAME_DIR SERVER_DIR --url BASE_URL"));
    QCOMPARE(Pack({}).exitCode, 2);
    QCOMPARE(Pack({"keygen", Path("only-one")}).exitCode, 2);
}

QTEST_GUILESS_MAIN(tst_UpdaterPack)
#include "tst_UpdaterPack.moc"
