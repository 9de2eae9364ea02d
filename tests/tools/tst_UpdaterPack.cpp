#include "format/ChunkIndex.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TestFiles.h"

#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdio>
#include <optional>
#include <tuple>

namespace
{

// Runs `program` with `input` on a standard input that is a pipe, never a
// terminal, and left open, and with UPDATER_PACK_PASSWORD set to `password`
// or unset: its exit code (-1 if still running after two minutes, enough for
// scrypt on a busy machine) and what it wrote to stderr.
std::pair<int, QString> run(const QString &program, const QStringList &args,
                            const QByteArray &input = {},
                            const std::optional<QByteArray> &password = {})
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("UPDATER_PACK_PASSWORD");
    if (password)
        env.insert("UPDATER_PACK_PASSWORD", QString::fromUtf8(*password));
    process.setProcessEnvironment(env);
    process.start(program, args);
    process.write(input);
    const bool finished = process.waitForFinished(120000);
    return {finished ? process.exitCode() : -1, process.readAllStandardError()};
}

std::pair<int, QString> pack(const QStringList &args)
{
    return run(UPDATER_PACK, args);
}

const QByteArray Password = "pass word";

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
        const QStringList files = {secret, dir.filePath("key.pub")};
        // Without the variable, a password waiting in a pipe is not taken:
        // only a terminal is asked. An empty password protects nothing.
        for (const auto &[password, message] :
             {std::pair{std::optional<QByteArray>(), "not a terminal"},
              std::pair{std::optional<QByteArray>(""), "empty"}}) {
            const auto [exitCode, err] =
                run(UPDATER_PACK, QStringList{"keygen"} + files, Password + '\n', password);
            QCOMPARE(exitCode, 1);
            QVERIFY2(err.contains(message) && err.count(u'\n') == 1, qPrintable(err));
            QVERIFY(QDir(dir.path()).isEmpty());
        }
        QCOMPARE(pack(QStringList{"keygen", "-W"} + files).first, 0);
        QVERIFY(!(QFile::permissions(secret) & (QFile::ReadGroup | QFile::ReadOther)));
        // The checksum minisign checks a key with: BLAKE2b-256 over "Ed", the
        // key id and the secret key, stored last.
        const QByteArray record = QByteArray::fromBase64(readAll(secret).split('\n').value(1));
        QCOMPARE(record.size(), 158);
        QCOMPARE(record.sliced(126), QCryptographicHash::hash("Ed" + record.sliced(54, 72),
                                                              QCryptographicHash::Blake2b_256));
    }

    // Encrypted keys work both ways between minisign and the tool, the
    // password on minisign's standard input and in the tool's variable; a
    // -W key needs none.
    void keys_data()
    {
        QTest::addColumn<QStringList>("make");
        QTest::addColumn<bool>("encrypted");
        QTest::newRow("keygen") << QStringList{UPDATER_PACK, "keygen", "key", "key.pub"} << true;
        QTest::newRow("keygen -W")
            << QStringList{UPDATER_PACK, "keygen", "-W", "key", "key.pub"} << false;
        QTest::newRow("minisign -G")
            << QStringList{"minisign", "-G", "-p", "key.pub", "-s", "key"} << true;
    }

    void keys()
    {
        QFETCH(QStringList, make);
        QFETCH(bool, encrypted);
        if (QStandardPaths::findExecutable("minisign").isEmpty())
            QSKIP("minisign is not installed (scripts/setup installs it)");
        QTemporaryDir dir;
        QVERIFY(QDir::setCurrent(dir.path()));
        writeFile("game/a.txt", "a");
        const QByteArray line = encrypted ? Password + '\n' : QByteArray();
        const std::optional<QByteArray> password =
            encrypted ? std::optional(Password) : std::nullopt;
        QCOMPARE(run(make.takeFirst(), make, line + line, password).first, 0);
        if (make.first() == "keygen") {
            QCOMPARE(run("minisign", {"-S", "-s", "key", "-m", "game/a.txt"}, line).first, 0);
            QCOMPARE(run("minisign", {"-V", "-p", "key.pub", "-m", "game/a.txt"}).first, 0);
        }

        const QStringList build = {"build",   "game", "srv", "--url", "http://127.0.0.1/x",
                                   "--secret"};
        // Refused, writing nothing: no password (one waits in the pipe), a
        // wrong one, a damaged checksum (its key half is intact: only the
        // checksum tells), and an opslimit of 2^36 that scrypt accepts and
        // would work on for hours.
        for (const auto &[flip, given, message] :
             {std::tuple{0, std::optional<QByteArray>(), "not a terminal"},
              std::tuple{0, std::optional<QByteArray>("wrong"), "wrong password"},
              std::tuple{157, password, "wrong password"},
              std::tuple{38 + 4, password, "out of bounds"}}) {
            if (!encrypted)
                break;
            QByteArray record = QByteArray::fromBase64(readAll("key").split('\n').value(1));
            record[flip] = char(record[flip] ^ (flip ? 0x10 : 0)); // 0: the key as it is
            writeFile("copy", "untrusted comment: x\n" + record.toBase64() + '\n');
            const auto [exitCode, err] =
                run(UPDATER_PACK, build + QStringList{"copy"}, line, given);
            QCOMPARE(exitCode, 1);
            QVERIFY2(err.contains(message) && err.count(u'\n') == 1, qPrintable(err));
            QVERIFY(!QFileInfo::exists("srv"));
        }
        QCOMPARE(run(UPDATER_PACK, build + QStringList{"key"}, {}, password).first, 0);
        QCOMPARE(run("minisign", {"-V", "-p", "key.pub", "-m", "srv/updates.txt"}).first, 0);
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

    // Version 2 built into version 1's folder: every address of version 1
    // still serves its bytes, large files come with their pinned index, and
    // prune removes only what the kept lists do not name.
    void buildsShareAFolder()
    {
        QTemporaryDir dir;
        QVERIFY(QDir::setCurrent(dir.path()));
        NginxServer nginx(".");
        QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
        QByteArray big(3 << 20, Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(big.data()), big.size() / 4);
        writeFile("game/big", big);
        writeFile("game/small", "v1");
        const QStringList build = {"build", "game", "srv", "--url", nginx.url("/srv")};
        QCOMPARE(pack(build).first, 0);
        const QByteArray list1 = readAll("srv/updates.txt");
        big.replace(1000, 5, "edit!");
        writeFile("game/big", big);
        writeFile("game/small", "v2");
        QCOMPARE(pack(build).first, 0);
        QCOMPARE(QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList({"game", "srv"}));

        QNetworkAccessManager network;
        const auto get = [&](const QByteArray &url) {
            std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(QUrl(url))));
            QSignalSpy finished(reply.get(), &QNetworkReply::finished);
            return finished.wait(10000) && reply->error() == QNetworkReply::NoError
                       ? reply->readAll()
                       : QByteArray("failed");
        };
        const auto values = [](const QByteArray &list, const QByteArray &key) {
            QList<QByteArray> found;
            for (const QByteArray &line : list.split('\n'))
                if (line.startsWith(key + '='))
                    found.append(line.sliced(key.size() + 1));
            return found;
        };
        const QList<QByteArray> urls = values(list1, "URL");
        const QList<QByteArray> digests = values(list1, "SHA256");
        QCOMPARE(urls.size(), 2);
        for (qsizetype n = 0; n < urls.size(); ++n)
            QCOMPARE(QCryptographicHash::hash(get(urls[n]), QCryptographicHash::Sha256).toHex(),
                     digests[n]);
        // Only the big file (listed first) has an index, pinned and true.
        const QByteArray list2 = readAll("srv/updates.txt");
        QCOMPARE(values(list2, "ChunksURL").size(), 1);
        const QByteArray index = get(values(list2, "ChunksURL")[0]);
        QCOMPARE(QCryptographicHash::hash(index, QCryptographicHash::Sha256).toHex(),
                 values(list2, "ChunksSHA256")[0]);
        QBuffer bigBuffer(&big);
        QVERIFY(bigBuffer.open(QIODevice::ReadOnly));
        QCOMPARE(ChunkIndex::parse(index, big.size()), ChunkIndex::chunkFile(bigBuffer).chunks);

        const auto stored = [] {
            QStringList names;
            for (QDirIterator it("srv/files", QDir::Files, QDirIterator::Subdirectories);
                 it.hasNext();)
                names.append(it.next());
            return names;
        };
        const QStringList both = stored();
        QCOMPARE(both.size(), 6); // two big files, two indexes, two small ones
        QCOMPARE(pack({"prune", "srv", "--keep", "2"}).first, 0);
        QCOMPARE(stored(), both);
        QCOMPARE(pack({"prune", "srv", "--keep", "1"}).first, 0);
        QStringList named;
        for (const QByteArray &url : values(list2, "URL") + values(list2, "ChunksURL"))
            named.append(QUrl(url).path().sliced(1));
        named.sort();
        QStringList left = stored();
        left.sort();
        QCOMPARE(left, named);
        QCOMPARE(QDir("srv/lists").count(), 3); // ".", ".." and the kept list
    }
};

QTEST_GUILESS_MAIN(tst_UpdaterPack)
#include "tst_UpdaterPack.moc"
