#include "download/HttpResponse.h"

#include <QtTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(ResumeState)
Q_DECLARE_METATYPE(BodyDecision)

namespace
{

// 10 of 20 bytes held under a strong ETag, this try asking for the rest.
const ResumeState held{10, 20, "\"a\"", {}, true, true, false};
const ResumeState heldUnderDate{10, 20, {}, "Mon", true, true, false};
const ResumeState heldToDigest{10, 20, "\"a\"", {}, true, true, true};
const ResumeState heldOfUnknownLength{10, 0, "\"a\"", {}, true, true, false};
const ResumeState fresh{};

} // namespace

class tst_HttpResponse : public QObject
{
    Q_OBJECT

private slots:
    // What a response (status, header lines) means for the body held, and,
    // for one whose body is taken, the whole length it announces and whether
    // its body could be continued by a later try. The plain cases (a 206
    // that continues, a 200 to a Range, a 416) show in tst_Downloader's
    // reads cut short.
    void decide_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<ResumeState>("state");
        QTest::addColumn<BodyDecision>("decision");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<bool>("continuable");
        using D = BodyDecision;
        const QByteArray rest = "Content-Range: bytes 10-19/20", a = "\nETag: \"a\"";
        QTest::newRow("206 from another byte restarts")
            << 206 << "Content-Range: bytes 0-19/20" + a << held << D::Restart;
        QTest::newRow("206 of another whole length restarts")
            << 206 << "Content-Range: bytes 10-29/30" + a << held << D::Restart;
        QTest::newRow("206 without the validator restarts") << 206 << rest << held << D::Restart;
        QTest::newRow("206 without the validator continues a digest")
            << 206 << rest << heldToDigest << D::Continue << 20ll << true;
        QTest::newRow("206 under another ETag restarts, digest or not")
            << 206 << rest + "\nETag: \"b\"" << heldToDigest << D::Restart;
        QTest::newRow("206 under another Last-Modified restarts")
            << 206 << rest + "\nLast-Modified: Tue" << heldUnderDate << D::Restart;
        QTest::newRow("206 under the Last-Modified sent continues")
            << 206 << rest + "\nLast-Modified: Mon" << heldUnderDate << D::Continue << 20ll << true;
        QTest::newRow("206 to no Range restarts")
            << 206 << "Content-Range: bytes 0-19/20" + a << fresh << D::Restart;
        QTest::newRow("206 of * total continues an unknown length")
            << 206 << "Content-Range: bytes 10-19/*" + a << heldOfUnknownLength << D::Continue
            << 0ll << true;
        QTest::newRow("206 of * total restarts a known length")
            << 206 << "Content-Range: bytes 10-19/*" + a << held << D::Restart;
        QTest::newRow("malformed Content-Range restarts")
            << 206 << "Content-Range: bytes x10-19/20" + a << held << D::Restart;
        QTest::newRow("Content-Range of no unit restarts")
            << 206 << "Content-Range: 10-19/20" + a << held << D::Restart;
        QTest::newRow("header names in any case")
            << 200 << "CONTENT-LENGTH: 7\nlast-MODIFIED: Mon\naccept-ranges: BYTES"_ba << fresh
            << D::Whole << 7ll << true;
        QTest::newRow("weak ETag is not a validator")
            << 200 << "ETag: W/\"a\"\nAccept-Ranges: bytes"_ba << fresh << D::Whole << 0ll << false;
        QTest::newRow("without Accept-Ranges not continuable")
            << 200 << "Content-Length: 5\nETag: \"a\"\nAccept-Ranges: none"_ba << fresh << D::Whole
            << 5ll << false;
        QTest::newRow("negative Content-Length is unknown")
            << 200 << "Content-Length: -5\nETag: \"a\"\nAccept-Ranges: bytes"_ba << fresh
            << D::Whole << 0ll << true;
        QTest::newRow("a redirect's headers do not count")
            << 200
            << "HTTP/1.1 302 Found\nETag: \"a\"\nAccept-Ranges: bytes\nHTTP/1.1 200 OK\nContent-Length: 5"_ba
            << fresh << D::Whole << 5ll << false;
        QTest::newRow("416 to no Range fails") << 416 << QByteArray() << fresh << D::ErrorStatus;
        for (const int status : {408, 429, 500, 502, 503, 504})
            QTest::addRow("%d is retryable", status)
                << status << QByteArray() << held << D::RetryableStatus;
        for (const int status : {404, 403, 501, 304})
            QTest::addRow("%d is not", status) << status << QByteArray() << fresh << D::ErrorStatus;
    }

    void decide()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, headers);
        QFETCH(ResumeState, state);
        QFETCH(BodyDecision, decision);
        ResponseHead head;
        for (const QByteArray &line : headers.split('\n'))
            takeHeaderLine(head, line + "\r\n");
        QCOMPARE(decideBody(status, head, state), decision);
        if (decision == BodyDecision::Whole || decision == BodyDecision::Continue) {
            QFETCH(qint64, total);
            QFETCH(bool, continuable);
            takeBody(state, decision, head);
            QCOMPARE(state.total, total);
            state.stored = 1;
            QCOMPARE(canContinue(state), continuable);
        }
    }
};

QTEST_GUILESS_MAIN(tst_HttpResponse)
#include "tst_HttpResponse.moc"
