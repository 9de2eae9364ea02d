#include "download/Inet.h"
#include "tests/support/TestHttpServer.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>
#include <chrono>
#include <thread>

using namespace std::chrono_literals;

class tst_Inet : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void decodesByCharset_data();
    void decodesByCharset();
    void failures_data();
    void failures();
    void givesUpAfterTimeout();
    void doesNotRunWindowEventsWhileWaiting();

private:
    TestHttpServer m_server;
};

void tst_Inet::initTestCase()
{
    httplib::Server &s = m_server.server();
    s.Get("/utf8", [](const httplib::Request &, httplib::Response &res) {
        res.set_content("Gr\xc3\xbc\xc3\x9f"
                        "e",
                        "text/plain");
    });
    s.Get("/latin1", [](const httplib::Request &, httplib::Response &res) {
        res.set_content("Gr\xfc\xdf"
                        "e",
                        "text/plain; charset=ISO-8859-1");
    });
    s.Get("/quoted", [](const httplib::Request &, httplib::Response &res) {
        res.set_content("Gr\xfc\xdf"
                        "e",
                        "text/plain; Charset=\"latin1\"");
    });
    s.Get("/unknown-charset", [](const httplib::Request &, httplib::Response &res) {
        res.set_content("Gr\xc3\xbc\xc3\x9f"
                        "e",
                        "text/plain; charset=x-no-such-charset");
    });
    s.Get("/lines", [](const httplib::Request &, httplib::Response &res) {
        res.set_content("first\r\nsecond\nthird", "text/plain");
    });
    s.Get("/empty", [](const httplib::Request &, httplib::Response &res) {
        res.set_content("", "text/plain");
    });
    s.Get("/slow", [](const httplib::Request &, httplib::Response &res) {
        std::this_thread::sleep_for(300ms);
        res.set_content("late", "text/plain");
    });
    s.Get("/hang", [](const httplib::Request &, httplib::Response &res) {
        std::this_thread::sleep_for(1500ms);
        res.set_content("too late", "text/plain");
    });
    s.Get("/redirect",
          [](const httplib::Request &, httplib::Response &res) { res.set_redirect("/utf8"); });
    m_server.addFaultEndpoints();
    m_server.start();
}

void tst_Inet::cleanupTestCase()
{
    m_server.stop();
}

void tst_Inet::decodesByCharset_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    const QString grusse = QStringLiteral("Gr\u00fc\u00dfe");
    QTest::newRow("no charset: UTF-8") << "/utf8" << grusse;
    QTest::newRow("ISO-8859-1") << "/latin1" << grusse;
    QTest::newRow("quoted, mixed-case parameter") << "/quoted" << grusse;
    QTest::newRow("unknown charset: UTF-8") << "/unknown-charset" << grusse;
    QTest::newRow("several lines, one text") << "/lines"
                                             << "first\r\nsecond\nthird";
    QTest::newRow("empty document") << "/empty"
                                    << "";
    QTest::newRow("redirect followed") << "/redirect" << grusse;
}

void tst_Inet::decodesByCharset()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(Inet::OpenURL(m_server.url(path), 10s), expected);
}

void tst_Inet::failures_data()
{
    QTest::addColumn<QString>("url");
    QTest::newRow("404") << m_server.url("/404");
    QTest::newRow("500") << m_server.url("/500");
    QTest::newRow("empty address") << "";
    QTest::newRow("no scheme") << "hello.txt";
    QTest::newRow("not http") << "file:///etc/hostname";
    QTest::newRow("garbage") << "http://";

    // A port that nobody listens on any more.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const QString refused = QStringLiteral("http://127.0.0.1:%1/hello.txt").arg(probe.serverPort());
    probe.close();
    QTest::newRow("refused connection") << refused;
}

void tst_Inet::failures()
{
    QFETCH(QString, url);
    QVERIFY_THROWS_EXCEPTION(InetError, Inet::OpenURL(url, 10s));
}

void tst_Inet::givesUpAfterTimeout()
{
    QElapsedTimer clock;
    clock.start();
    QVERIFY_THROWS_EXCEPTION(InetError, Inet::OpenURL(m_server.url("/hang"), 200ms));
    QVERIFY2(clock.elapsed() < 1200, qPrintable(QString::number(clock.elapsed())));
}

// The greeting fetch blocks the window's thread: a timer that falls due while
// it waits must not run until the call has returned.
void tst_Inet::doesNotRunWindowEventsWhileWaiting()
{
    bool fired = false;
    QTimer::singleShot(0, this, [&fired] { fired = true; });
    QCOMPARE(Inet::OpenURL(m_server.url("/slow"), 10s), QStringLiteral("late"));
    QVERIFY(!fired);
    QTRY_VERIFY(fired);
}

QTEST_GUILESS_MAIN(tst_Inet)
#include "tst_Inet.moc"
