#include "download/Inet.h"
#include "tests/support/TestHttpServer.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>
#include <thread>

using namespace std::chrono_literals;

class tst_Inet : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void openURL_data();
    void openURL();

private:
    TestHttpServer m_server;
};

void tst_Inet::initTestCase()
{
    // /doc/<n>: body and Content-Type of entry n.
    static const std::pair<std::string, std::string> docs[] = {
        {"Gr\303\274\303\237e", "text/plain"},
        {"Gr\374\337e", "text/plain; Charset=\"ISO-8859-1\""},
        {"Gr\303\274\303\237e", "text/plain; charset=x-no-such-charset"},
        {"first\r\nsecond\nthird", "text/plain"},
        {"", "text/plain"}};
    httplib::Server &s = m_server.server();
    s.Get(R"(/doc/(\d))", [](const httplib::Request &req, httplib::Response &res) {
        const auto &doc = docs[std::stoi(req.matches[1].str())];
        res.set_content(doc.first, doc.second);
    });
    s.Get("/late", [](const httplib::Request &, httplib::Response &res) {
        std::this_thread::sleep_for(300ms);
        res.set_content("late", "text/plain");
    });
    s.Get("/with blank", [](const httplib::Request &, httplib::Response &res) {
        res.set_content("blank", "text/plain");
    });
    s.Get("/moved", [](const auto &, httplib::Response &res) { res.set_redirect("/doc/0"); });
    m_server.addFaultEndpoints();
    m_server.start();
}

// A null `expected` means the call throws InetError within the time-out. No
// window event runs while the call waits: it blocks the window's thread.
void tst_Inet::openURL_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("timeoutMs");
    const auto row = [this](const char *name, QString url, const QString &expected,
                            int timeoutMs = 10000) {
        QTest::newRow(name) << (url.startsWith('/') ? m_server.url(url) : url) << expected
                            << timeoutMs;
    };
    const QString grusse = QStringLiteral("Gr\u00fc\u00dfe");
    row("no charset: UTF-8", "/doc/0", grusse);
    row("quoted, mixed-case charset", "/doc/1", grusse);
    row("unknown charset: UTF-8", "/doc/2", grusse);
    row("line ends kept", "/doc/3", "first\r\nsecond\nthird");
    row("empty document", "/doc/4", "");
    row("redirect followed", "/moved", grusse);
    row("blank in the address, as the Downloader takes it", "/with blank", "blank");
    row("slow answer", "/late", "late");
    row("error status", "/404", QString());
    row("time-out", "/stall", QString(), 200); // headers, then nothing for 3 s
    row("not http", "ftp://127.0.0.1/hello.txt", QString());
    row("no host", "http://", QString());
    QTcpServer probe; // a port that nobody listens on any more
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    row("refused connection", QStringLiteral("http://127.0.0.1:%1/").arg(probe.serverPort()),
        QString());
}

void tst_Inet::openURL()
{
    QFETCH(QString, url);
    QFETCH(QString, expected);
    QFETCH(int, timeoutMs);
    const std::chrono::milliseconds timeout(timeoutMs);
    QTimer due;
    QSignalSpy fired(&due, &QTimer::timeout);
    due.start(0);
    QElapsedTimer clock;
    clock.start();
    if (expected.isNull())
        QVERIFY_THROWS_EXCEPTION(InetError, Inet::OpenURL(url, timeout));
    else
        QCOMPARE(Inet::OpenURL(url, timeout), expected);
    QVERIFY2(clock.elapsed() < timeoutMs + 1300, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(fired.count(), 0);
    QVERIFY(fired.wait());
}

QTEST_GUILESS_MAIN(tst_Inet)
#include "tst_Inet.moc"
