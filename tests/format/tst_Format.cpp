#include "format/ListFormat.h"
#include "profile/modTypes.h"
#include "tests/support/TestFiles.h"

#include <QtTest>

Q_DECLARE_METATYPE(ListFormat::FileEntry)

// The list as the publisher's tool writes it, read back by the updater's own
// readers (its signature is checked end to end by tst_SignedUpdate): a value the tool writes one way and the
// updater reads another would fail every player's update, or pin the wrong
// file.
class tst_Format : public QObject
{
    Q_OBJECT

private slots:
    void listReadsBack_data()
    {
        QTest::addColumn<QString>("stamp"); // Date and Time both
        QTest::addColumn<ListFormat::FileEntry>("file");
        const QByteArray digest = QByteArray::fromHex("00ff") + QByteArray(30, '\x7f');
        QTest::newRow("plain") << "2026-12-07"
                               << ListFormat::FileEntry{"http://h/files/a.txt", "", "a.txt", 0,
                                                        digest};
        QTest::newRow("blanks at the ends, dropped by the reader")
            << " 2026-12-07 "
            << ListFormat::FileEntry{"http://h/files/%20b", "\\ d\\e ", " b", 1, digest};
        QTest::newRow("enclosing quotes, taken off by the reader")
            << "\"now\"" << ListFormat::FileEntry{"http://h/x", "\\'d'", "'q'", 7, digest};
        QTest::newRow("non-ASCII names")
            << "12:00"
            << ListFormat::FileEntry{"http://h/files/donn%C3%A9es", "\\donn\u00e9es\\\u6587\u5b57",
                                     "\u00fcn\u00efc\u00f6d\u00e9 \U0001F600.txt",
                                     std::numeric_limits<qint64>::max(), digest};
    }

    void listReadsBack()
    {
        QFETCH(QString, stamp);
        QFETCH(ListFormat::FileEntry, file);
        const ListFormat::FileEntry plain{"http://h/p", "\\p", "p", 5, QByteArray(32, 'p')};
        QTemporaryDir dir;
        const QString list = dir.filePath("updates.ini");
        writeFile(list, ListFormat::write({plain, file}, stamp, stamp));
        using namespace ListFormat;
        QCOMPARE(ReadIni(list, General, TotalFiles), "2");
        QCOMPARE(ReadIni(list, General, Date), stamp);
        QCOMPARE(ReadIni(list, General, Time), stamp);
        for (const auto &[number, written] : {std::pair{1, plain}, std::pair{2, file}}) {
            const QString section = fileSection(number);
            QCOMPARE(ReadIni(list, section, Url), QString::fromUtf8(written.url));
            QCOMPARE(ReadIni(list, section, SavePath), written.savePath);
            QCOMPARE(ReadIni(list, section, FileName), written.fileName);
            const ExpectedFile expected =
                parseExpectedFile(ReadIni(list, section, Size), ReadIni(list, section, Sha256));
            QVERIFY(!expected.malformed);
            QCOMPARE(expected.size, written.size);
            QCOMPARE(expected.sha256, written.sha256);
        }
    }
};

QTEST_GUILESS_MAIN(tst_Format)
#include "tst_Format.moc"
