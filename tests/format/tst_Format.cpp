#include "format/ChunkIndex.h"
#include "format/Chunker.h"
#include "format/ListFormat.h"
#include "profile/modTypes.h"
#include "tests/support/TestFiles.h"

#include <QtTest>

Q_DECLARE_METATYPE(ListFormat::FileEntry)
Q_DECLARE_METATYPE(QList<ChunkIndex::Chunk>)

// The list as the publisher's tool writes it, read back by the updater's own
// readers (its signature is checked end to end by tst_SignedUpdate): a value the tool writes one
// way and the updater reads another would fail every player's update, or pin the wrong file.
class tst_Format : public QObject
{
    Q_OBJECT

private slots:
    void listReadsBack_data()
    {
        QTest::addColumn<QString>("stamp"); // Date and Time both
        QTest::addColumn<ListFormat::FileEntry>("file");
        const QByteArray digest = QByteArray::fromHex("00ff") + QByteArray(30, '\x7f');
        const qint64 most = std::numeric_limits<qint64>::max();
        QTest::newRow("with a chunk index, the largest size")
            << "2026-12-07"
            << ListFormat::FileEntry{"http://h/files/a", "", "a", most, digest, "http://h/c",
                                     QByteArray(32, 'c')};
        QTest::newRow("blanks at the ends, dropped by the reader")
            << " 2026-12-07 "
            << ListFormat::FileEntry{"http://h/files/%20b", "\\ d\\e ", " b", 1, digest};
        QTest::newRow("enclosing quotes, taken off by the reader")
            << "\"now\"" << ListFormat::FileEntry{"http://h/x", "\\'d'", "'q'", 7, digest};
    }

    void listReadsBack()
    {
        QFETCH(QString, stamp);
        QFETCH(ListFormat::FileEntry, file);
        // In every list: no folder, no bytes.
        const ListFormat::FileEntry plain{"http://h/p", "", "p", 0, QByteArray(32, 'p')};
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
            QCOMPARE(ReadIni(list, section, ChunksUrl), QString::fromUtf8(written.chunksUrl));
            QCOMPARE(ReadIni(list, section, ChunksSha256).toLatin1(), written.chunksSha256.toHex());
        }
    }

    // The publisher's tool chunks a file in one pass and the updater in
    // whatever pieces its reads and downloads give: both must cut alike.
    void chunkerCutsAlikeInAnyPieces_data()
    {
        QTest::addColumn<quint32>("seed");
        QTest::addColumn<qsizetype>("size");
        QTest::newRow("empty") << 1u << qsizetype(0);
        QTest::newRow("one byte") << 2u << qsizetype(1);
        QTest::newRow("below the minimum chunk") << 3u << qsizetype(Chunker::MinSize - 1);
        QTest::newRow("at the minimum chunk") << 4u << qsizetype(Chunker::MinSize);
        for (quint32 seed = 5; seed < 9; ++seed)
            QTest::addRow("%u MiB", seed - 3) << seed << qsizetype(seed - 3) * 1024 * 1024 + seed;
        QTest::newRow("one byte repeated: only max-size cuts")
            << 0u << qsizetype(Chunker::MaxSize * 5 + 7);
    }

    void chunkerCutsAlikeInAnyPieces()
    {
        QFETCH(quint32, seed);
        QFETCH(qsizetype, size);
        const QByteArray bytes = seed ? randomBytes(size, seed) : QByteArray(size, 'x');
        Chunker chunker;
        std::vector<qint64> whole;
        chunker.feed(bytes.constData(), bytes.size(), whole);
        if (const auto last = chunker.finish())
            whole.push_back(*last);

        QRandomGenerator random(seed);
        for (int run = 0; run < 3; ++run) {
            std::vector<qint64> pieces;
            for (qsizetype at = 0; at < size;) {
                const qsizetype piece =
                    std::min<qsizetype>(size - at, random.bounded(1, run == 0 ? 3 : 300000));
                chunker.feed(bytes.constData() + at, piece, pieces);
                at += piece;
            }
            if (const auto last = chunker.finish())
                pieces.push_back(*last);
            QCOMPARE(pieces, whole);
        }

        qint64 start = 0;
        for (std::size_t n = 0; n < whole.size(); ++n) {
            const qint64 length = whole[n] - start;
            QVERIFY2(length <= Chunker::MaxSize && length > 0, qPrintable(QString::number(length)));
            if (n + 1 < whole.size())
                QVERIFY2(length >= Chunker::MinSize, qPrintable(QString::number(length)));
            start = whole[n];
        }
        QCOMPARE(start, size);
        // The index cuts there too, and its digests are those of the bytes:
        // a digest of other bytes would take a changed chunk for an old one.
        QByteArray copy = bytes;
        QBuffer buffer(&copy);
        QVERIFY(buffer.open(QIODevice::ReadOnly));
        const ChunkIndex::ChunkedFile chunked = ChunkIndex::chunkFile(buffer);
        QVERIFY(chunked.error.isEmpty() && chunked.chunks.size() == qsizetype(whole.size()));
        for (qsizetype n = 0; n < chunked.chunks.size(); ++n) {
            const ChunkIndex::Chunk &chunk = chunked.chunks[n];
            QCOMPARE(chunk.offset + chunk.length, whole[n]);
            QCOMPARE(chunk.sha256,
                     QCryptographicHash::hash(bytes.sliced(chunk.offset, chunk.length),
                                              QCryptographicHash::Sha256));
        }
    }

    // A mirror may serve any bytes as an index; only one the chunker could
    // have made for a file of that size passes.
    void chunkIndexParse_data()
    {
        using ChunkIndex::Chunk;
        QTest::addColumn<QList<Chunk>>("chunks");
        QTest::addColumn<QByteArray>("edit"); // of the written index: "chop", "append", "magic"
        QTest::addColumn<qint64>("fileSize");
        QTest::addColumn<bool>("valid");
        const QByteArray a(32, 'a');
        const qint64 min = Chunker::MinSize;
        const qint64 max = Chunker::MaxSize;
        const QList<Chunk> good{{0, max, a}, {max, min, a}, {max + min, 1, a}};
        const auto row = [](const char *name, const QList<Chunk> &chunks, qint64 fileSize,
                            bool valid, const char *edit = "") {
            QTest::newRow(name) << chunks << QByteArray(edit) << fileSize << valid;
        };
        row("round trip", good, max + min + 1, true);
        row("empty file", {}, 0, true);
        row("every chunk at the minimum: the size limit",
            {{0, min, a}, {min, min, a}, {2 * min, 1, a}}, 2 * min + 1, true);
        row("total below the file size", good, max + min + 2, false);
        row("total above the file size", good, max + min, false);
        row("truncated record", good, max + min + 1, false, "chop");
        row("trailing bytes", good, max + min + 1, false, "append");
        row("gap between chunks", {{0, min, a}, {min + 1, 1, a}}, min + 1, false);
        row("overlapping chunks", {{0, min, a}, {min - 1, 1, a}}, min + 1, false);
        row("not starting at 0", {{1, min, a}}, min, false);
        row("empty chunk", {{0, min, a}, {min, min + 1, a}, {2 * min + 1, 0, a}}, 2 * min + 1,
            false);
        row("chunk above the maximum", {{0, max + 1, a}}, max + 1, false);
        row("chunk below the minimum, not last", {{0, min - 1, a}, {min - 1, min + 1, a}}, 2 * min,
            false);
        row("wrong magic", good, max + min + 1, false, "magic");
    }

    void chunkIndexParse()
    {
        QFETCH(QList<ChunkIndex::Chunk>, chunks);
        QFETCH(QByteArray, edit);
        QFETCH(qint64, fileSize);
        QFETCH(bool, valid);
        QByteArray bytes = ChunkIndex::write(chunks);
        if (edit == "magic")
            bytes[6] = '2'; // another chunker's cuts
        else if (edit == "chop")
            bytes.chop(1);
        else if (edit == "append")
            bytes += '\0';
        const auto parsed = ChunkIndex::parse(bytes, fileSize);
        QCOMPARE(parsed.has_value(), valid);
        if (valid) {
            QCOMPARE(*parsed, chunks);
            QVERIFY(bytes.size() <= ChunkIndex::sizeLimit(fileSize));
            if (QTest::currentDataTag() == QByteArray("every chunk at the minimum: the size limit"))
                QCOMPARE(bytes.size(), ChunkIndex::sizeLimit(fileSize));
        }
    }
};

QTEST_GUILESS_MAIN(tst_Format)
#include "tst_Format.moc"
