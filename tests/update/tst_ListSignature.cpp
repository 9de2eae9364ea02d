#include "update/ExpectedFile.h"
#include "update/ListSignature.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using ListSignature::Failure;
Q_DECLARE_METATYPE(Failure)

namespace
{

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The lines of a signature file without their line breaks.
QList<QByteArray> Lines(const QByteArray &file)
{
    QList<QByteArray> lines = file.split('\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QByteArray Joined(const QList<QByteArray> &lines)
{
    return lines.join('\n') + '\n';
}

// Line 2 of a signature file with its binary record changed by `edit`.
QByteArray WithRecord(const QByteArray &file, const std::function<void(QByteArray &)> &edit)
{
    QList<QByteArray> lines = Lines(file);
    QByteArray record = QByteArray::fromBase64(lines[1]);
    edit(record);
    lines[1] = record.toBase64();
    return Joined(lines);
}

} // namespace

// Lists signed by the real minisign program, checked by ListSignature, and
// the parsing of the per-file "Size" and "SHA256" values.
class tst_ListSignature : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_minisign;
    QByteArray m_list;
    QByteArray m_publicKey;      // key A, the one the player trusts
    QByteArray m_otherPublicKey; // key B

    QString Path(const QString &name) const { return m_dir.filePath(name); }
    void Run(const QStringList &args)
    {
        QProcess process;
        process.setStandardInputFile(QProcess::nullDevice());
        process.start(m_minisign, args);
        QVERIFY2(process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
                     process.exitCode() == 0,
                 qPrintable(args.join(u' ') + u'\n' + process.readAllStandardError()));
    }
    // A signature by minisign over the list with key `key` ("a" or "b").
    QByteArray Signed(const QString &key, const QString &comment, bool legacy = false)
    {
        static int count = 0;
        const QString out = Path(QStringLiteral("sig%1.minisig").arg(++count));
        QStringList args = {"-S", "-s",   Path(key + ".key"), "-m", Path("updates.txt"), "-x", out,
                            "-t", comment};
        if (legacy)
            args.append("-l");
        Run(args);
        return ReadAll(out);
    }

private slots:
    void initTestCase();
    void verify_data();
    void verify();
    void fileValues_data();
    void fileValues();
};

void tst_ListSignature::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
    QVERIFY2(!m_minisign.isEmpty(), "minisign is not installed (scripts/setup installs it)");
    // Key A is drawn until its base64 holds a "/", which the malformed-key
    // rows below need (four in ten keys have none).
    for (int tries = 0; tries < 30 && !m_publicKey.contains('/'); ++tries) {
        Run({"-G", "-W", "-f", "-p", Path("a.pub"), "-s", Path("a.key")});
        m_publicKey = Lines(ReadAll(Path("a.pub"))).value(1);
    }
    QVERIFY(m_publicKey.contains('/'));
    Run({"-G", "-W", "-p", Path("b.pub"), "-s", Path("b.key")});
    m_otherPublicKey = Lines(ReadAll(Path("b.pub"))).value(1);
    m_list = "[GENERAL]\nTotalFiles=1\nDate=2026-12-07\nTime=01:00:00\n\n[FILE1]\n"
             "URL=http://127.0.0.1/files/a.txt\nSavePath=\nFileName=a.txt\n";
    QFile list(Path("updates.txt"));
    QVERIFY(list.open(QIODevice::WriteOnly) && list.write(m_list) == m_list.size());
}

void tst_ListSignature::verify_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QByteArray>("publicKey");
    QTest::addColumn<Failure>("failure");
    QTest::addColumn<qint64>("timestamp");
    QTest::addColumn<bool>("hasExpiry");
    QTest::addColumn<qint64>("expires");

    const QString comment = QStringLiteral("timestamp:1800000000\tfile:updates.txt\thashed");
    const QByteArray prehashed = Signed("a", comment);
    const QByteArray legacy =
        Signed("a", QStringLiteral("timestamp:1700000000\texpires:1700086400"), true);
    QByteArray changedList = m_list;
    changedList[changedList.indexOf("a.txt")] = 'b';
    const QByteArray byOtherKey = Signed("b", comment);

    QTest::newRow("prehashed") << m_list << prehashed << m_publicKey << Failure::None
                               << qint64(1800000000) << false << qint64(0);
    QTest::newRow("legacy, with expiry") << m_list << legacy << m_publicKey << Failure::None
                                         << qint64(1700000000) << true << qint64(1700086400);
    QTest::newRow("CRLF line breaks")
        << m_list << QByteArray(prehashed).replace("\n", "\r\n") << m_publicKey << Failure::None
        << qint64(1800000000) << false << qint64(0);

    QTest::newRow("list changed, prehashed")
        << changedList << prehashed << m_publicKey << Failure::BadSignature << qint64(0) << false
        << qint64(0);
    QTest::newRow("list changed, legacy")
        << changedList << legacy << m_publicKey << Failure::BadSignature << qint64(0) << false
        << qint64(0);
    QTest::newRow("other key") << m_list << byOtherKey << m_publicKey << Failure::OtherKey
                               << qint64(0) << false << qint64(0);
    const QByteArray keyIdA = QByteArray::fromBase64(m_publicKey).mid(2, 8);
    QTest::newRow("other key claiming our key id")
        << m_list << WithRecord(byOtherKey, [&](QByteArray &r) { r.replace(2, 8, keyIdA); })
        << m_publicKey << Failure::BadSignature << qint64(0) << false << qint64(0);
    QTest::newRow("trusted comment changed")
        << m_list << QByteArray(prehashed).replace("timestamp:18", "timestamp:19") << m_publicKey
        << Failure::BadCommentSignature << qint64(0) << false << qint64(0);

    QTest::newRow("no timestamp") << m_list << Signed("a", "file:updates.txt") << m_publicKey
                                  << Failure::BadTimestamp << qint64(0) << false << qint64(0);
    QTest::newRow("timestamp beyond 64 bits")
        << m_list << Signed("a", "timestamp:9223372036854775808") << m_publicKey
        << Failure::BadTimestamp << qint64(0) << false << qint64(0);
    QTest::newRow("expires twice")
        << m_list << Signed("a", "timestamp:1\texpires:5\texpires:9") << m_publicKey
        << Failure::BadTimestamp << qint64(0) << false << qint64(0);

    const QList<QByteArray> lines = Lines(prehashed);
    QTest::newRow("extra line") << m_list << prehashed + "\n"
                                << m_publicKey << Failure::MalformedSignature << qint64(0) << false
                                << qint64(0);
    QTest::newRow("missing line") << m_list << Joined(lines.first(3)) << m_publicKey
                                  << Failure::MalformedSignature << qint64(0) << false << qint64(0);
    QTest::newRow("no untrusted comment")
        << m_list << Joined({"comment", lines[1], lines[2], lines[3]}) << m_publicKey
        << Failure::MalformedSignature << qint64(0) << false << qint64(0);
    QTest::newRow("bad base64") << m_list
                                << Joined({lines[0], QByteArray(lines[1]).replace(5, 1, "*"),
                                           lines[2], lines[3]})
                                << m_publicKey << Failure::MalformedSignature << qint64(0) << false
                                << qint64(0);
    QTest::newRow("signature a byte short")
        << m_list << WithRecord(prehashed, [](QByteArray &r) { r.chop(1); }) << m_publicKey
        << Failure::MalformedSignature << qint64(0) << false << qint64(0);
    QTest::newRow("unknown algorithm")
        << m_list << WithRecord(prehashed, [](QByteArray &r) { r.replace(0, 2, "EX"); })
        << m_publicKey << Failure::MalformedSignature << qint64(0) << false << qint64(0);
    QTest::newRow("public key cut")
        << m_list << prehashed << m_publicKey.chopped(4) << Failure::MalformedPublicKey << qint64(0)
        << false << qint64(0);
    // libsodium 1.0.18 alone would read any byte above 0x7F as "/".
    QTest::newRow("public key with a byte beyond base64")
        << m_list << prehashed << QByteArray(m_publicKey).replace('/', '\xFE')
        << Failure::MalformedPublicKey << qint64(0) << false << qint64(0);
    QTest::newRow("public key of another algorithm")
        << m_list << prehashed << QByteArray::fromBase64(m_publicKey).replace(0, 2, "ED").toBase64()
        << Failure::MalformedPublicKey << qint64(0) << false << qint64(0);
}

void tst_ListSignature::verify()
{
    QFETCH(QByteArray, list);
    QFETCH(QByteArray, signature);
    QFETCH(QByteArray, publicKey);
    QFETCH(Failure, failure);
    QFETCH(qint64, timestamp);
    QFETCH(bool, hasExpiry);
    QFETCH(qint64, expires);

    const ListSignature::Result result = ListSignature::Verify(list, signature, publicKey);
    QCOMPARE(result.failure, failure);
    if (failure == Failure::None) {
        QCOMPARE(result.timestamp, timestamp);
        QCOMPARE(result.expires.has_value(), hasExpiry);
        QCOMPARE(result.expires.value_or(0), expires);
    }
}

void tst_ListSignature::fileValues_data()
{
    QTest::addColumn<QString>("size");
    QTest::addColumn<QString>("sha256");
    QTest::addColumn<bool>("malformed");
    QTest::addColumn<bool>("hasSize");
    QTest::addColumn<qint64>("parsedSize");
    QTest::addColumn<QByteArray>("digestHex"); // empty: no digest

    const QString digest = QStringLiteral("0123456789abcdefABCDEF") + QString(42, u'9');
    QTest::newRow("absent") << ""
                            << "" << false << false << qint64(0) << QByteArray();
    QTest::newRow("both, mixed-case hex")
        << "9223372036854775807" << digest << false << true << std::numeric_limits<qint64>::max()
        << digest.toLower().toLatin1();
    QTest::newRow("size beyond 64 bits") << "9223372036854775808"
                                         << "" << true << false << qint64(0) << QByteArray();
    QTest::newRow("size with sign") << "+5"
                                    << "" << true << false << qint64(0) << QByteArray();
    QTest::newRow("digest a digit short")
        << "5" << digest.chopped(1) << true << true << qint64(5) << QByteArray();
    QTest::newRow("digest not hex")
        << "" << QString(digest).replace(0, 1, u'g') << true << false << qint64(0) << QByteArray();
}

void tst_ListSignature::fileValues()
{
    QFETCH(QString, size);
    QFETCH(QString, sha256);
    QFETCH(bool, malformed);
    QFETCH(bool, hasSize);
    QFETCH(qint64, parsedSize);
    QFETCH(QByteArray, digestHex);

    const ExpectedFile expected = ParseExpectedFile(size, sha256);
    QCOMPARE(expected.malformed, malformed);
    QCOMPARE(expected.size.has_value(), hasSize);
    QCOMPARE(expected.size.value_or(0), parsedSize);
    QCOMPARE(expected.sha256.value_or(QByteArray()).toHex(), digestHex);
}

QTEST_GUILESS_MAIN(tst_ListSignature)
#include "tst_ListSignature.moc"
