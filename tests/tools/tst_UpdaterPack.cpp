#include "tests/support/TestFiles.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdio>

namespace
{

// Runs the tool: its exit code and what it wrote to stderr.
std::pair<int, QString> pack(const QStringList &args)
{
    QProcess process;
    process.start(UPDATER_PACK, args);
    const bool finished = process.waitForFinished(60000);
    return {finished ? process.exitCode() : -1, process.readAllStandardError()};
}

// A build the tool must refuse, writing nothing, with a game folder of
// "a/b.txt", `files`, a file named by the raw bytes `rawName` and "link" to
// `linkTo`.
struct Refusal {
    QStringList files = {};
    QByteArray rawName = {};
    QString linkTo = {};
    bool serverOccupied = false;
    QStringList options = {"--url", "http://127.0.0.1/x"};
    int exitCode = 1; // 1: refused input, 2: usage error
    QString message = {};
};

} // namespace

Q_DECLARE_METATYPE(Refusal)

// The publisher's tool run as a program: its keys, and the input it refuses.
// Its builds are installed by tst_SignedUpdate.
class tst_UpdaterPack : public QObject
{
    Q_OBJECT

private slots:
    void keygen()
    {
        QTemporaryDir dir;
        const QString secret = dir.filePath("key");
        QCOMPARE(pack({"keygen", secret, dir.filePath("key.pub")}).first, 0);
        QVERIFY(!(QFile::permissions(secret) & (QFile::ReadGroup | QFile::ReadOther)));
        // The checksum minisign checks a key with: BLAKE2b-256 over "Ed", the
        // key id and the secret key, stored last.
        const QByteArray record = QByteArray::fromBase64(readAll(secret).split('\n').value(1));
        QCOMPARE(record.size(), 158);
        QCOMPARE(record.sliced(126), QCryptographicHash::hash("Ed" + record.sliced(54, 72),
                                                              QCryptographicHash::Blake2b_256));
    }

    void refusals_data()
    {
        QTest::addColumn<Refusal>("refusal");
        QTest::newRow("dots Windows drops, read as \"..\"")
            << Refusal{.files = {"a/.../x.txt"}, .message = "\"a/...\""};
        QTest::newRow("backslash") << Refusal{.files = {"a\\b.txt"}, .message = "\"a\\b.txt\""};
        QTest::newRow("device name") << Refusal{.files = {"a/Aux.txt"}, .message = "\"a/Aux.txt\""};
        QTest::newRow("colon") << Refusal{.files = {"a/c:d.txt"}, .message = "contains \":\""};
        QTest::newRow("case twins")
            << Refusal{.files = {"a/B.txt"}, .message = "differ only by case"};
        QTest::newRow("newline") << Refusal{.files = {"a/new\nline"},
                                            .message = "\"a/new\\x0aline\""};
        QTest::newRow("the updater's own profile")
            << Refusal{.files = {"Updates/Init.ini"}, .message = "updater's own file"};
        QTest::newRow("the updater, as Windows reads its name")
            << Refusal{.files = {"UPDATER.exe. "}, .message = "updater's own file"};
        QTest::newRow("the updater's signature of its list") << Refusal{
            .files = {"updates/updates.ini.arriving.minisig"}, .message = "updater's own file"};
        QTest::newRow("the updater, included but not signed")
            << Refusal{.files = {"updater"},
                       .options = {"--url", "http://127.0.0.1/x", "--include-updater"},
                       .message = "--include-updater needs --secret"};
        QTest::newRow("name not UTF-8, Qt lists no such file")
            << Refusal{.rawName = "a/\xff.txt", .message = "\"a/\uFFFD.txt\" is not valid UTF-8"};
        QTest::newRow("name not UTF-8 at the top")
            << Refusal{.rawName = "\xfe", .message = "is not valid UTF-8"};
        QTest::newRow("link to a folder")
            << Refusal{.linkTo = "game/a", .message = "\"link\" is a link to a folder"};
        QTest::newRow("link to a file, published as the file it names")
            << Refusal{.linkTo = "game/a/b.txt", .message = "\"link\" is a link to a file"};
        QTest::newRow("server folder not empty")
            << Refusal{.serverOccupied = true, .message = "not an empty folder"};
        QTest::newRow("no --url") << Refusal{.options = {}, .exitCode = 2, .message = "--url"};
    }

    void refusals()
    {
        QFETCH(Refusal, refusal);
        QTemporaryDir dir;
        QVERIFY(QDir::setCurrent(dir.path()));
        for (const QString &file : refusal.files + QStringList{"a/b.txt"})
            writeFile("game/" + file, {});
        const QByteArray rawPath = "game/" + refusal.rawName;
        std::FILE *raw = refusal.rawName.isEmpty() ? nullptr : std::fopen(rawPath.constData(), "w");
        QVERIFY(refusal.rawName.isEmpty() || (raw && std::fclose(raw) == 0));
        if (!refusal.linkTo.isEmpty())
            QVERIFY(QFile::link(dir.filePath(refusal.linkTo), "game/link"));
        if (refusal.serverOccupied)
            writeFile("server/keep.txt", {});

        const auto [exitCode, err] = pack(QStringList{"build", "game", "server"} + refusal.options);
        QCOMPARE(exitCode, refusal.exitCode);
        QVERIFY2(err.contains(refusal.message), qPrintable(err));
        QVERIFY(refusal.exitCode != 1 || err.count(u'\n') == 1);
        // Nothing written, not even a half-built folder beside the server's.
        QCOMPARE(QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 refusal.serverOccupied ? QStringList({"game", "server"}) : QStringList({"game"}));
        // Qt cannot remove what it cannot list.
        QVERIFY(refusal.rawName.isEmpty() || std::remove(rawPath.constData()) == 0);
    }
};

QTEST_GUILESS_MAIN(tst_UpdaterPack)
#include "tst_UpdaterPack.moc"
