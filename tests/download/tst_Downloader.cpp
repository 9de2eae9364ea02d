#include "download/Downloader.h"
#include "download/Inet.h"
#include "download/ReadFacility.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestHttpServer.h"

#include <QtTest>

using namespace std::chrono_literals;

namespace
{

using Files = QMap<QString, QByteArray>;

const QByteArray oldContent(300000, 'o');
const QByteArray bodyA = TestHttpServer::pattern(200000);

QByteArray digest(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}
// What a second of waiting between two tries of a read lasts here.
constexpr std::chrono::milliseconds retrySecond(50);

struct Event {
    enum Kind { Progress, Error, Complete } kind;
    qint64 cur = 0, max = 0;
    bool inFlight = false;
    friend bool operator==(const Event &, const Event &) = default;
};

// How a read ends: progress moving only forward within one real total, then
// either DownloadComplete(size) after progress that reached `size`, or, for a
// negative `size`, DownloadError and DownloadComplete(0). The read is no
// longer in flight when it completes.
void verifyEnd(const QList<Event> &events, qint64 size)
{
    const qsizetype progress = events.size() - (size < 0 ? 2 : 1);
    QVERIFY(progress >= 0);
    QVERIFY(size >= 0 || events.at(progress).kind == Event::Error);
    QCOMPARE(events.last().kind, Event::Complete);
    QCOMPARE(events.last().max, std::max(size, qint64(0)));
    QVERIFY(!events.last().inFlight);
    qint64 cur = 0;
    for (const Event &event : events.first(progress)) {
        QVERIFY(event.kind == Event::Progress && event.max > 0);
        QVERIFY(event.cur >= cur && event.cur <= event.max);
        QCOMPARE(event.max, size < 0 ? events.first().max : size);
        cur = event.cur;
    }
    if (size >= 0)
        QCOMPARE(cur, size);
}

// What the disk does to a whole body.
enum class Disk { Fine, TargetIsFolder, FlushFails };

// One read of /script: what the server answers to each try, and what must come of it.
struct Scenario {
    QList<ScriptedReply> replies;
    // What the target holds at the end; null: the read fails and the old file stays.
    QByteArray stored{};
    // Per try after the first: its least wait in retry seconds, and its "Range|If-Range".
    QList<int> waits{};
    QByteArrayList ranges{};
    // TargetIsFolder: a folder holding a file is where the body would go.
    Disk disk = Disk::Fine;
    ReadExpectation expected{};
};

// What is done to the part of a body kept by a failed read before the next read.
enum class Tamper { None, Meta, Link, Address };

} // namespace

class tst_Downloader : public QObject
{
    Q_OBJECT

    TestHttpServer m_http;
    std::atomic<int> m_requests = 0;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Downloader> m_downloader;
    QHash<QString, QList<Event>> m_events;
    QList<QStringList> m_warnings; // text and title

    QString path(const QString &name = "target.bin") const { return m_dir->filePath(name); }
    bool completed(const QString &name) const
    {
        const QList<Event> events = m_events.value(path(name));
        return !events.isEmpty() && events.last().kind == Event::Complete;
    }

    // A fresh Downloader whose events, and whether their read was still in
    // flight when raised, go to m_events.
    void makeDownloader()
    {
        m_downloader = std::make_unique<Downloader>();
        Downloader *d = m_downloader.get();
        connect(d, &Downloader::warning, this, [this](const QString &text, const QString &title) {
            m_warnings.append({text, title});
        });
        const auto add = [this, d](Event::Kind kind, qint64 cur, qint64 max, const QString &tag) {
            m_events[tag].append({kind, cur, max, d->isInFlight(tag)});
        };
        connect(d, &Downloader::DownloadProgress, this, std::bind_front(add, Event::Progress));
        connect(d, &Downloader::DownloadError, this, std::bind_front(add, Event::Error, 0, 0));
        connect(d, &Downloader::DownloadComplete, this, std::bind_front(add, Event::Complete, 0));
    }

    // Events of one read come in order, so once later reads have completed,
    // nothing is still on its way for the reads dropped before them: they
    // raised nothing more, and the folder holds `files` and the later body.
    // Each later read starts when the one before completed: one that the
    // transfer thread is not woken for waits until its poll times out (1 s),
    // so five take 5 s; the deadline leaves room for a slow, busy machine.
    void verifyDropped(Files files)
    {
        const auto before = m_events;
        const QDeadlineTimer due(4000);
        for (int i = 0; i < 5; ++i) {
            m_events.remove(path("later"));
            m_downloader->BeginDownload(m_http.url("/bytes/1000"), path("later"));
            QTRY_VERIFY(completed("later"));
        }
        QVERIFY2(!due.hasExpired(), qPrintable(QString::number(due.remainingTime())));
        m_events.remove(path("later"));
        QVERIFY(m_events == before);
        files.insert("later", TestHttpServer::pattern(1000));
        QCOMPARE(filesBelow(m_dir->path()), files);
    }

private slots:
    void initTestCase()
    {
        // Loopback traffic must not wander off to a proxy of the machine.
        for (const char *name :
             {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            qunsetenv(name);
        // Long enough for a slow body's 25 ms pauses, short enough to see a stall quickly.
        ReadFacility::setTransferTimeoutForTesting(500ms);
        m_http.addFaultEndpoints();
        m_http.server().new_task_queue = [] { return new httplib::ThreadPool(64); };
        m_http.server().set_logger([this](const auto &, const auto &) { ++m_requests; });
        m_http.start();
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        ReadFacility::setRetrySecondForTesting(retrySecond);
        m_warnings.clear();
        m_events.clear();
        makeDownloader();
    }

    void cleanup()
    {
        m_downloader.reset();
        ReadFacility::setCaFileForTesting({});
        ReadFacility::setDiskFlushForTesting({});
    }

    void scriptedRead_data()
    {
        QTest::addColumn<Scenario>("s");
        const QByteArray b(200000, 'b'), rest = "bytes=100000-|\"v1\"";
        const ScriptedReply plain{.body = bodyA};
        const ScriptedReply whole{.body = bodyA, .etag = "\"v1\"", .ranges = true};
        const ScriptedReply cut{
            .body = bodyA, .etag = "\"v1\"", .ranges = true, .cutAt = 100000, .sized = true};
        const ScriptedReply shortRange{
            .body = bodyA, .etag = "\"v1\"", .ranges = true, .cutAt = 150000, .endAtCut = true};
        QTest::newRow("cut, then resumed") << Scenario{{cut, whole}, bodyA, {1}, {rest}};
        QTest::newRow("cut, Range ignored: whole body again")
            << Scenario{{cut, {.body = bodyA, .etag = "\"v1\""}}, bodyA, {1}, {rest}};
        // The 206 continues another body: no mixed bytes, the third try asks for it whole.
        QTest::newRow("cut, validator changed: restart") << Scenario{
            {cut, {.body = b, .etag = "\"v2\"", .ranges = true}}, b, {1, 2}, {rest, "|"}};
        // Every other 206 that cannot continue the body is decided the same
        // way (see tst_HttpResponse) and restarts it as this one does; a 416
        // answers a Range only, so it is decided here alone.
        QTest::newRow("cut, 416: restart") << Scenario{
            {cut, {.status = 416, .body = "no such range"}, whole}, bodyA, {1, 2}, {rest, "|"}};
        // The range ends cleanly, yet short of the length its Content-Range announced.
        QTest::newRow("cut, range short: resumed again")
            << Scenario{{cut, shortRange, whole}, bodyA, {1, 2}, {rest, "bytes=150000-|\"v1\""}};
        QTest::newRow("503 with Retry-After, then whole") << Scenario{
            {{.status = 503, .body = "busy", .retryAfter = 3}, plain}, bodyA, {3}, {"|"}};
        // Honoured, the hour would outlast the test's wait.
        QTest::newRow("503 with Retry-After 3600: usual wait") << Scenario{
            {{.status = 503, .body = "busy", .retryAfter = 3600}, plain}, bodyA, {1}, {"|"}};
        QTest::newRow("500 every time: 1 + 3 tries")
            << Scenario{{{.status = 500, .body = "down"}}, {}, {1, 2, 4}, {"|", "|", "|"}};
        QTest::newRow("404: not tried again") << Scenario{{{.status = 404, .body = "gone"}, plain}};
        // An update file of no bytes is taken for a fault, not a file to store.
        QTest::newRow("empty body") << Scenario{{{.body = ""}, plain}};
        // 100 B/s would take the whole test's wait to end: only the read's
        // own stall limit ends it, as it ends a body that stops altogether.
        QTest::newRow("trickle under 1 KiB/s, then whole")
            << Scenario{{{.body = bodyA, .pace = 100ms}, plain}, bodyA, {1}, {"|"}};
        QTest::newRow("target is a folder")
            << Scenario{.replies = {plain}, .disk = Disk::TargetIsFolder};
        QTest::newRow("flush fails") << Scenario{.replies = {plain}, .disk = Disk::FlushFails};
        // Its reader flushes it later: no flush of the read's own to fail.
        QTest::newRow("flush fails, flushed later: stored")
            << Scenario{.replies = {plain},
                        .stored = bodyA,
                        .disk = Disk::FlushFails,
                        .expected = {.flushedLater = true}};
        // 64 MiB announced and sent, far past what the read lets in.
        QTest::newRow("endless body, pinned size") << Scenario{
            .replies = {{.body = bodyA, .endless = true}}, .expected = {.size = 100000}};
        QTest::newRow("endless body, limit") << Scenario{
            .replies = {{.body = bodyA, .endless = true}}, .expected = {.limit = 100000}};
        QTest::newRow("body within its limit")
            << Scenario{.replies = {plain}, .stored = bodyA, .expected = {.limit = 300000}};
        // A span of the body, each of its pieces pinned: only an answer with
        // exactly those bytes is stored, or the whole body from a server
        // that ignores Range, held to the whole body's pins. Any other
        // answer fails the read at once, though the next try would pass.
        const ReadExpectation span{.size = bodyA.size(),
                                   .sha256 = digest(bodyA),
                                   .span = ReadExpectation::Span{1000, 3000, bodyA.size()},
                                   .pieces = {{1000, digest(bodyA.mid(1000, 1000))},
                                              {2000, digest(bodyA.mid(2000, 2000))}}};
        const auto spanRow =
            [&](const char *name, const ScriptedReply &reply, const QByteArray &stored = {}) {
                QTest::newRow(name)
                    << Scenario{.replies = {reply, whole}, .stored = stored, .expected = span};
            };
        spanRow("span: the bytes asked for", whole, bodyA.mid(1000, 3000));
        spanRow("span: Range ignored, the whole body", plain, bodyA);
        spanRow("span: Range ignored, another whole body", {.body = b});
        spanRow("span: another span's bytes",
                {.body = bodyA, .ranges = true, .contentRange = "bytes 0-2999/200000"});
        spanRow("span: one byte short of the span",
                {.body = bodyA, .ranges = true, .contentRange = "bytes 1000-3998/200000"});
        spanRow("span: of a body of another length",
                {.body = bodyA, .ranges = true, .contentRange = "bytes 1000-3999/200001"});
        spanRow("span: a piece's bytes not the pinned ones", {.body = b, .ranges = true});
    }

    // Listeners see one read however many tries it takes. Every new body is
    // shorter than the old file, so any old byte left behind shows. No
    // progress shows more of a body than its size or limit lets in.
    void scriptedRead()
    {
        QFETCH(Scenario, s);
        const Files old{
            {s.disk == Disk::TargetIsFolder ? "target.bin/old" : "target.bin", oldContent}};
        writeFiles(m_dir->path(), old);
        m_http.setScript(s.replies);
        if (s.disk == Disk::FlushFails)
            ReadFacility::setDiskFlushForTesting([](const auto &) { return false; });
        // The log names the file that could not be put in place, and the system's reason.
        const auto rules = qScopeGuard([] { QLoggingCategory::setFilterRules({}); });
        if (s.disk == Disk::TargetIsFolder) {
            QLoggingCategory::setFilterRules(QStringLiteral("updater.download.info=true"));
            QTest::ignoreMessage(QtInfoMsg,
                                 QRegularExpression("replace .*target.bin.* failed: \\w"));
        }

        m_downloader->BeginDownload(m_http.url("/script"), path(), s.expected);
        QTRY_VERIFY_WITH_TIMEOUT(completed("target.bin"), 10000);
        verifyEnd(m_events.value(path()), s.stored.isNull() ? -1 : s.stored.size());
        for (const Event &event : m_events.value(path()))
            QVERIFY(event.cur <= s.expected.size.value_or(s.expected.limit.value_or(event.cur)));
        QCOMPARE(filesBelow(m_dir->path()),
                 s.stored.isNull() ? old : Files({{"target.bin", s.stored}}));
        const QList<ScriptedRequest> seen = m_http.scriptedRequests();
        QCOMPARE(seen.size(), 1 + s.waits.size());
        for (qsizetype i = 1; i < seen.size(); ++i) {
            QCOMPARE(seen[i].ranges, s.ranges[i - 1]);
            QVERIFY(seen[i].atMs - seen[i - 1].atMs >= s.waits[i - 1] * retrySecond.count());
        }
    }

    void keptPartial_data()
    {
        QTest::addColumn<Tamper>("tamper");
        QTest::newRow("continued with Range") << Tamper::None;
        // A header smuggled into the validator must never reach the request.
        QTest::newRow("meta tampered with: from byte 0") << Tamper::Meta;
        // The rest of the body would be written wherever a link points.
        QTest::newRow("kept body a link: from byte 0") << Tamper::Link;
        QTest::newRow("kept for another address: from byte 0") << Tamper::Address;
    }

    // A read that opts in keeps the part of a body it got when it fails, and
    // the next read into the same file continues it; the digest still covers
    // the whole file.
    void keptPartial()
    {
        QFETCH(Tamper, tamper);
        const QString root = m_dir->path(), kept = path("target.bin.partial");
        writeFiles(root, {{"target.bin", oldContent}});
        // Every try is cut short; the read fails with 160000 bytes of the body.
        QList<ScriptedReply> cuts;
        for (const qint64 cutAt : {100000, 120000, 140000, 160000})
            cuts.append({.body = bodyA, .etag = "\"v1\"", .ranges = true, .cutAt = cutAt});
        m_http.setScript(cuts);
        const auto read = [this](const QString &url) {
            m_events.clear();
            m_downloader->BeginDownload(m_http.url(url), path(), {200000, digest(bodyA), true});
        };
        // A listener reacting at once finds the kept part on the disk; the spy
        // waits in an event loop, so the error comes as soon as it is posted.
        bool keptAtError = false;
        const auto atError = connect(m_downloader.get(), &Downloader::DownloadError, this, [&] {
            keptAtError = QFile::exists(kept) && QFile::exists(kept + ".meta");
        });
        QSignalSpy failed(m_downloader.get(), &Downloader::DownloadError);
        read("/script");
        QVERIFY(failed.wait(10000));
        disconnect(atError);
        QVERIFY(keptAtError);
        QTRY_VERIFY(completed("target.bin"));
        verifyEnd(m_events.value(path()), -1);
        Files files = filesBelow(root);
        QCOMPARE(files.take("target.bin.partial"), bodyA.first(160000));
        QCOMPARE(files.keys(), QStringList({"target.bin", "target.bin.partial.meta"}));

        Files expected{{"target.bin", bodyA}};
        if (tamper == Tamper::Meta)
            writeFiles(root, {{"target.bin.partial.meta", "updater partial body 1\n" +
                                                              m_http.url("/script").toUtf8() +
                                                              "\n\"v1\"\r\nX-Evil: 1\n"}});
        if (tamper == Tamper::Link) {
            expected.insert("victim", bodyA.first(160000));
            QVERIFY(QFile::rename(kept, path("victim")) && QFile::link(path("victim"), kept));
        }
        m_http.setScript({{.body = bodyA, .etag = "\"v1\"", .ranges = true}});
        read(tamper == Tamper::Address ? "/script?other" : "/script");
        QTRY_VERIFY_WITH_TIMEOUT(completed("target.bin"), 10000);
        verifyEnd(m_events.value(path()), bodyA.size());
        QCOMPARE(filesBelow(root), expected);
        const QList<ScriptedRequest> seen = m_http.scriptedRequests();
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen[0].ranges, tamper == Tamper::None ? "bytes=160000-|\"v1\"" : "|");
    }

    // Reads that never complete raise no event and leave their old files: a
    // refused one shows the box at once (one refused into a busy file is in
    // queuedReadsEachFetchedOnce); abortAll drops the reads under way, one
    // waiting to be tried again included, which is never tried again, and so
    // does destroying the control; either ends at once.
    void unfinishedReadsLeaveOldFiles()
    {
        Files files;
        // Refused with 1001, 1002, ...; the last one has an address but no file.
        const QStringList refused{"", "/updates.txt", "ftp://127.0.0.1/x", "http:///x",
                                  "http://127.0.0.1:1/x"};
        const QString text = "%1:Error in call to BeginDownload().\r\n\r\nError Description: %2";
        QList<QStringList> warnings;
        for (int code = 1001; code <= 1005; ++code) {
            m_downloader->BeginDownload(refused[code - 1001], code == 1005 ? QString() : path("a"));
            warnings.append(
                {text.arg(code).arg(downloaderErrorDescription(DownloaderError(code))), "Warning"});
        }
        QCOMPARE(m_warnings, warnings);

        const auto start = [&](const QString &name, const QString &url) {
            files.insert(name, oldContent);
            writeFiles(m_dir->path(), files);
            m_downloader->BeginDownload(m_http.url(url), path(name));
        };
        // Each busy answer asks for 30 retry seconds (1.5 s) of waiting.
        const ScriptedReply busy{.status = 503, .body = "busy", .retryAfter = 30};
        m_http.setScript({busy, busy, {.body = bodyA}, busy});
        // Over one connection: the one that waits for a retry first.
        start("a", "/script");
        start("b", "/slow");
        QTRY_VERIFY(!m_events.value(path("b")).isEmpty() && m_http.scriptedRequests().size() == 1);
        m_downloader->abortAll();
        QCOMPARE(m_downloader->inFlight(), 0);
        verifyDropped(files);
        // Started after "a", so "a" would be tried again before its second try.
        start("c", "/script");
        QTRY_VERIFY_WITH_TIMEOUT(completed("c"), 10000);
        QCOMPARE(m_http.scriptedRequests().size(), 3);
        files.insert("c", bodyA);

        start("d", "/script");
        QTRY_COMPARE(m_http.scriptedRequests().size(), 4);
        // A Downloader destroyed during a retry wait does not sit it out (1.5 s).
        const QDeadlineTimer due(1000);
        makeDownloader();
        QVERIFY2(!due.hasExpired(), qPrintable(QString::number(due.remainingTime())));
        verifyDropped(files);
        QCOMPARE(m_http.scriptedRequests().size(), 4);
    }

    // Reads beyond the connections to a host (6), and beyond those handed to
    // libcurl at once (32), wait their turn; one that waits must not count as
    // one that receives nothing, and each is fetched once. Bodies of sizes of
    // their own show that no read's bytes or events reach another tag.
    void queuedReadsEachFetchedOnce()
    {
        const int count = 40, slow = 24;
        const auto size = [](int i) { return i < slow ? 2000 : 1000 + i * 97; };
        m_requests = 0;
        for (int i = 0; i < count; ++i)
            m_downloader->BeginDownload(m_http.url(i < slow ? QStringLiteral("/slow")
                                                            : "/bytes/" + QString::number(size(i))),
                                        path(QString::number(i)));
        // A second read into a file in flight is refused; the first keeps the file.
        m_downloader->BeginDownload(m_http.url("/bytes/10"), path("0"));
        QVERIFY(m_warnings.size() == 1 && m_warnings[0][0].startsWith("1006:"));
        QCOMPARE(m_downloader->inFlight(), count);

        QTRY_COMPARE_WITH_TIMEOUT(m_downloader->inFlight(), 0, 20000);
        Files files;
        for (int i = 0; i < count; ++i) {
            verifyEnd(m_events.value(path(QString::number(i))), size(i));
            files.insert(QString::number(i), TestHttpServer::pattern(size(i)));
        }
        QCOMPARE(filesBelow(m_dir->path()), files);
        QCOMPARE(m_requests.load(), count);
    }

    // Ten redirects are followed; an eleventh (as in a loop) fails the read.
    void redirects()
    {
        for (const QString hops : {"10", "11"})
            m_downloader->BeginDownload(m_http.url("/hops/" + hops), path(hops));
        QTRY_COMPARE(m_downloader->inFlight(), 0);
        verifyEnd(m_events.value(path("11")), -1);
        QCOMPARE(filesBelow(m_dir->path()), Files({{"10", TestHttpServer::pattern(1000)}}));
    }

    // Over TLS and HTTP/2 with a certificate made for the test, which only a
    // read given its CA file trusts; nginx serves the file over HTTP/2 alone.
    void tlsReads()
    {
        QTemporaryDir tls;
        const QString certificate = tls.filePath("cert.pem"), key = tls.filePath("key.pem");
        const QString request = "req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                                "-days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 "
                                "-keyout %1 -out %2";
        QCOMPARE(QProcess::execute("openssl", request.arg(key, certificate).split(' ')), 0);
        writeFiles(tls.path(), {{"www/file.bin", TestHttpServer::pattern(5000)}});
        NginxServer nginx(tls.filePath("www"));
        nginx.setTls(certificate, key);
        nginx.addDirectives(QStringLiteral("location = /moved { return 302 /file.bin; } "
                                           "location = /to-http { return 302 %1; } "
                                           "location = /file.bin { if ($server_protocol != "
                                           "HTTP/2.0) { return 505; } }")
                                .arg(m_http.url("/bytes/5000")));
        QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
        const auto read = [&](const QString &url, const QString &caFile, const QString &name) {
            ReadFacility::setCaFileForTesting(caFile);
            m_downloader->BeginDownload(nginx.url(url), path(name));
        };
        read("/moved", certificate, "trusted");
        read("/file.bin", {}, "untrusted");
        // TLS could not protect a read that anybody on the way can answer.
        read("/to-http", certificate, "to-http");
        // Trusted, yet made for 127.0.0.1 and not for the name asked for.
        m_downloader->BeginDownload(nginx.url("/file.bin").replace("127.0.0.1", "localhost"),
                                    path("other name"));

        QTRY_COMPARE(m_downloader->inFlight(), 0);
        verifyEnd(m_events.value(path("trusted")), 5000);
        verifyEnd(m_events.value(path("untrusted")), -1);
        verifyEnd(m_events.value(path("to-http")), -1);
        verifyEnd(m_events.value(path("other name")), -1);
        QCOMPARE(filesBelow(m_dir->path()), Files({{"trusted", TestHttpServer::pattern(5000)}}));
    }

    // The greeting is fetched in one call that blocks the window's thread:
    // no window event runs while it waits.
    void greeting()
    {
        const auto fetch = [this](const ScriptedReply &reply, std::chrono::milliseconds timeout,
                                  const QString &url = "/script") {
            m_http.setScript({reply});
            return Inet::openURL(m_http.url(url), timeout);
        };
        QTimer tick;
        QSignalSpy fired(&tick, &QTimer::timeout);
        tick.start(0);
        QCOMPARE(fetch({.body = "Gr\374\337e", .type = "text/plain; Charset=\"ISO-8859-1\""}, 10s),
                 QStringLiteral("Gr\u00fc\u00dfe"));
        // A blank in the address is taken as the Downloader takes it.
        QCOMPARE(fetch({.body = "a\r\nb\n"}, 10s, "/script with blank"), "a\r\nb\n");
        QVERIFY_THROWS_EXCEPTION(InetError,
                                 fetch({.body = QByteArray(Inet::MaxDocumentBytes + 1, 'x')}, 60s));
        // Longer than the time-out, yet it ends, so that a call without one returns.
        const QDeadlineTimer due(3500);
        QVERIFY_THROWS_EXCEPTION(InetError, fetch({.body = "x", .cutAt = 0, .stall = 4s}, 1s));
        QVERIFY2(!due.hasExpired(), qPrintable(QString::number(due.remainingTime())));
        QCOMPARE(fired.count(), 0);
    }
};

QTEST_MAIN(tst_Downloader)
#include "tst_Downloader.moc"
