#include "download/DiskFlush.h"
#include "download/Downloader.h"
#include "download/ReadFacility.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TestHttpServer.h"

#include <QLabel>
#include <QtTest>
#include <atomic>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace
{

// The body of /bytes/<size> on the test server.
QByteArray pattern(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + size) % 251);
    return bytes;
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

const QByteArray oldContent(300000, 'o');

// What a second of waiting between two tries of a read lasts here.
constexpr std::chrono::milliseconds retrySecond(50);

// What /script does on one try of a read.
struct Reply {
    int status = 200;
    QByteArray body{};
    // Sends the body only up to this byte, then closes the connection; -1: whole.
    qint64 cutAt = -1;
    QByteArray etag{};
    // Offers ranges, and serves the one asked for whatever If-Range says.
    bool ranges = false;
    int retryAfter = 0;
};

// The headers of one try as /script saw them, and when it came.
struct Try {
    QByteArray range;
    QByteArray ifRange;
    qint64 atMs = 0;
};

bool writeOld(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(oldContent) == oldContent.size();
}

// Sorted by name, hidden files (a temporary left behind) included.
QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

struct Event {
    enum Kind { Progress, Error, Complete } kind;
    qint64 cur = 0;
    qint64 max = 0;
    bool inFlight = false;
    friend bool operator==(const Event &, const Event &) = default;
};

// How a read ends: progress moving only forward within one real total, then
// either DownloadComplete(size) after progress that reached `size` (none at
// all for 0), or, for a negative `size`, DownloadError and DownloadComplete(0).
// The read is no longer in flight when it completes.
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

// Whether the thread whose /proc/self/task/<id>/stat this is waits, blocked.
bool sleeping(const QString &stat)
{
    QFile file(stat);
    const QByteArray line = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    // The state follows the name, which is in parentheses and may hold any character.
    const qsizetype state = line.lastIndexOf(") ") + 2;
    return state > 1 && state < line.size() && line.at(state) == 'S';
}

} // namespace

class tst_Downloader : public QObject
{
    Q_OBJECT

    QString target(const QString &name = QStringLiteral("target.bin")) const
    {
        return m_dir->filePath(name);
    }
    bool completed(const QString &tag) const
    {
        return !m_events.value(tag).isEmpty() && m_events[tag].last().kind == Event::Complete;
    }

    // A fresh Downloader whose events, and whether their read was still in
    // flight when raised, go to m_events.
    void makeDownloader()
    {
        m_downloader = std::make_unique<Downloader>();
        connect(m_downloader.get(), &Downloader::warning, this,
                [this](const QString &text, const QString &title) {
                    m_boxes.append({text, title});
                });
        const auto add = [this, d = m_downloader.get()](const QString &tag, Event event) {
            event.inFlight = d->IsInFlight(tag);
            m_events[tag].append(event);
        };
        connect(m_downloader.get(), &Downloader::DownloadProgress, this,
                [add](qint64 cur, qint64 max, const QString &tag) {
                    add(tag, {Event::Progress, cur, max});
                });
        connect(m_downloader.get(), &Downloader::DownloadError, this,
                [add](const QString &tag) { add(tag, {Event::Error}); });
        connect(m_downloader.get(), &Downloader::DownloadComplete, this,
                [add](qint64 max, const QString &tag) {
                    add(tag, {Event::Complete, 0, max});
                });
    }

    // Events of one read come in order, so once a read started now has
    // completed, nothing can still be on its way for the reads `dropped`
    // (sorted) before it: they raised nothing more, kept their old files and
    // left no temporary file behind.
    void verifyDropped(const QStringList &dropped)
    {
        const auto before = m_events;
        m_downloader->BeginDownload(m_http->url("/slow"), target("z-later.bin"));
        QTRY_VERIFY(completed(target("z-later.bin")));
        m_events.remove(target("z-later.bin"));
        QVERIFY(m_events == before);
        for (const QString &name : dropped)
            QCOMPARE(contentOf(target(name)), oldContent);
        QCOMPARE(entriesOf(m_dir->path()), dropped + QStringList{"z-later.bin"});
    }

    std::unique_ptr<TestHttpServer> m_http;
    // /script answers try n with m_script[n], or its last entry.
    std::mutex m_scriptMutex;
    QList<Reply> m_script;
    QList<Try> m_tries;
    QElapsedTimer m_clock;
    std::atomic<int> m_slowRequests = 0;

    QList<Try> tries()
    {
        const std::lock_guard lock(m_scriptMutex);
        return m_tries;
    }
    void setScript(const QList<Reply> &script)
    {
        const std::lock_guard lock(m_scriptMutex);
        m_script = script;
        m_tries.clear();
    }
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Downloader> m_downloader;
    QHash<QString, QList<Event>> m_events;
    // Warnings the control raised: text and title.
    QList<QStringList> m_boxes;

private slots:
    void initTestCase()
    {
        // Loopback traffic must not wander off to a proxy of the machine.
        for (const char *name :
             {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            qunsetenv(name);
        // Long enough for a slow body's 25 ms pauses, short enough to see a stall quickly.
        ReadFacility::SetTransferTimeoutForTesting(std::chrono::milliseconds(500));
        ReadFacility::SetRetrySecondForTesting(retrySecond);
        m_http = std::make_unique<TestHttpServer>();
        m_http->addFaultEndpoints();
        m_http->server().new_task_queue = [] { return new httplib::ThreadPool(64); };
        // Echoes the headers that keep caches on the way from answering instead.
        m_http->server().Get("/headers", [](const httplib::Request &req, httplib::Response &res) {
            res.set_content(req.get_header_value("Cache-Control") + '|' +
                                req.get_header_value("Pragma") + '|' +
                                req.get_header_value("Accept-Encoding"),
                            "text/plain");
        });
        m_http->server().Get("/script", [this](const httplib::Request &req,
                                               httplib::Response &res) { script(req, res); });
        m_http->server().set_logger([this](const httplib::Request &req, const httplib::Response &) {
            m_slowRequests += req.path == "/slow";
        });
        m_clock.start();
        m_http->start();
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_boxes.clear();
        m_events.clear();
        makeDownloader();
    }

    void cleanup()
    {
        m_downloader.reset();
        ReadFacility::SetDiskFlushForTesting({});
        ReadFacility::SetRetrySecondForTesting(retrySecond);
        ReadFacility::SetCaFileForTesting({});
    }

    void refusedStartShowsWarningBox_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("code");
        QTest::newRow("empty address") << "" << 1001;
        QTest::newRow("no scheme") << "/updates.txt" << 1002;
        QTest::newRow("ftp") << "ftp://127.0.0.1/x" << 1003;
        QTest::newRow("no host") << "http:///updates.txt" << 1004;
        QTest::newRow("broken IPv6 host") << "http://[::1/x" << 1004;
        QTest::newRow("no target") << "http://127.0.0.1:1/x" << 1005;
    }

    // A read refused into a busy file is in queuedReadsDoNotTimeOutAndKeepTagsApart.
    void refusedStartShowsWarningBox()
    {
        QFETCH(QString, url);
        QFETCH(int, code);
        QVERIFY(writeOld(target()));

        m_downloader->BeginDownload(url, code == 1005 ? QString() : target());
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes.first().first(), QString::number(code) +
                                              ":Error in call to BeginDownload().\r\n\r\n"
                                              "Error Description: " +
                                              DownloaderErrorDescription(DownloaderError(code)));
        QCOMPARE(m_boxes.first().last(), QStringLiteral("Warning"));
        QCOMPARE(m_downloader->InFlight(), 0);
        verifyDropped({"target.bin"});
    }

    void readReplacesTargetOnlyWhenStored_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        // What target.bin holds afterwards: the old content where the read fails.
        QTest::addColumn<QByteArray>("content");
        const QString old = QStringLiteral("target.bin");
        QTest::newRow("chunked") << "/chunked/100000" << old << pattern(100000);
        QTest::newRow("redirect chain") << "/redirect/5" << old << pattern(5000);
        // Force update: whatever lies in a cache on the way, fetch it anew, unencoded.
        QTest::newRow("no cache") << "/headers" << old << QByteArray("no-cache|no-cache|identity");
        QTest::newRow("404") << "/404" << old << oldContent;
        // Tried 1 + 3 times, then failed: neither part of a body nor an empty
        // one ever replaces a file.
        QTest::newRow("closed before announced length") << "/truncated" << old << oldContent;
        QTest::newRow("empty") << "/bytes/0" << old << oldContent;
        QTest::newRow("stalled") << "/stall" << old << oldContent;
        QTest::newRow("missing folder") << "/bytes/5000" << QString("no/t.bin") << oldContent;
    }

    // Every new body is shorter than the old file, so any old byte left behind shows.
    void readReplacesTargetOnlyWhenStored()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QVERIFY(writeOld(target()));

        m_downloader->BeginDownload(m_http->url(path), target(name));
        QTRY_VERIFY_WITH_TIMEOUT(completed(target(name)), 15000);
        verifyEnd(m_events.value(target(name)), content == oldContent ? -1 : content.size());
        QCOMPARE(contentOf(target()), content);
        QCOMPARE(entriesOf(m_dir->path()), QStringList{"target.bin"});
    }

    // AbortAll drops the reads under way, and so does destroying the control.
    void droppedReadsRaiseNothingAndKeepOldFiles()
    {
        const auto startSlow = [this](const QString &name) {
            QVERIFY(writeOld(target(name)));
            m_downloader->BeginDownload(m_http->url("/slow"), target(name));
            QTRY_VERIFY(!m_events.value(target(name)).isEmpty());
        };
        startSlow("a.bin");
        startSlow("b.bin");
        m_downloader->AbortAll();
        QCOMPARE(m_downloader->InFlight(), 0);
        verifyDropped({"a.bin", "b.bin"});
        startSlow("c.bin");
        makeDownloader();
        verifyDropped({"a.bin", "b.bin", "c.bin"});
    }

    // A complete body is written through to the disk before its read ends.
    // AbortAll meanwhile never closes the file under that flush, and the read
    // raises nothing, leaves its old file and no temporary file.
    void abortWhileFlushingKeepsOldFile()
    {
        struct Held {
            std::atomic<bool> aborting = false;
            std::atomic<bool> released = false;
            std::atomic<bool> flushedOpen = false;
            std::atomic<int> calls = 0;
        };
        const auto held = std::make_shared<Held>();
        const QString mainState = QStringLiteral("/proc/self/task/%1/stat").arg(gettid());
        // Only the first flush is held, until this thread sleeps after
        // AbortAll: had AbortAll closed the dropped file, it would be closed by then.
        ReadFacility::SetDiskFlushForTesting(
            [held, mainState](const std::vector<qintptr> &handles) {
                const bool first = held->calls++ == 0;
                while (first && !held->released && !(held->aborting && sleeping(mainState)))
                    QThread::yieldCurrentThread();
                const bool flushed = FlushToDisk(handles);
                // Set once the held flush is done, and only if its file was still open.
                if (first)
                    held->flushedOpen = fcntl(static_cast<int>(handles.at(0)), F_GETFD) != -1;
                return flushed;
            });
        // A failed check must not leave the worker held while the control waits for it.
        const auto release = qScopeGuard([held] { held->released = true; });
        QVERIFY(writeOld(target()));

        m_downloader->BeginDownload(m_http->url("/bytes/100000"), target());
        QTRY_VERIFY(held->calls > 0);
        QVERIFY(m_downloader->IsInFlight(target()));
        held->aborting = true;
        m_downloader->AbortAll();
        verifyDropped({"target.bin"});
        QVERIFY(held->flushedOpen);
        // The dropped read flushed once, the later one once.
        QCOMPARE(held->calls.load(), 2);
    }

    // A big body is written to its file as it comes, not held back in
    // memory; it still replaces its target completely.
    void bigBodyIsWrittenWhileArriving()
    {
        // Bytes reported so far against the largest file this process holds open below the folder.
        const QString folder = QFileInfo(m_dir->path()).canonicalFilePath();
        connect(m_downloader.get(), &Downloader::DownloadProgress, this,
                [folder](qint64 cur, qint64 max, const QString &) {
                    qint64 written = 0;
                    const QDir fds(QStringLiteral("/proc/self/fd"));
                    for (const QFileInfo &fd : fds.entryInfoList(QDir::System | QDir::Files))
                        if (fd.symLinkTarget().startsWith(folder))
                            written = std::max(written, QFileInfo(fd.filePath()).size());
                    QVERIFY2(cur == max || written >= cur - 1024 * 1024, "the body was held back");
                });
        const qint64 size = 64 * 1024 * 1024;
        QVERIFY(writeOld(target()));

        m_downloader->BeginDownload(m_http->url("/bytes/" + QString::number(size)), target());
        QTRY_VERIFY_WITH_TIMEOUT(completed(target()), 30000);
        verifyEnd(m_events.value(target()), size);
        QCOMPARE(contentOf(target()), pattern(size));
        QCOMPARE(entriesOf(m_dir->path()), QStringList{"target.bin"});
    }

    // Connections are limited per host, so reads beyond them wait for one; a
    // read that waits must not count as one that receives nothing. Bodies of
    // sizes of their own show that no read's bytes or events reach another tag.
    void queuedReadsDoNotTimeOutAndKeepTagsApart()
    {
        // 24 slow reads of 0.5 s, 6 at a time: the last ones wait 1.5 s for a
        // connection, longer than the 1 s in which a read must receive 1 KiB.
        const int count = 32, slow = 24;
        m_slowRequests = 0;
        const auto size = [](int i) { return i < slow ? 2000 : 1000 + i * 97; };
        for (int i = 0; i < count; ++i)
            m_downloader->BeginDownload(m_http->url(i < slow
                                                        ? QStringLiteral("/slow")
                                                        : "/bytes/" + QString::number(size(i))),
                                        target(QString::number(i)));
        // A second read into a file in flight is refused; the first keeps the file.
        m_downloader->BeginDownload(m_http->url("/bytes/10"), target("0"));
        QCOMPARE(m_boxes.size(), 1);
        QVERIFY(m_boxes.first().first().startsWith("1006:"));
        QCOMPARE(m_downloader->InFlight(), count);

        QTRY_COMPARE_WITH_TIMEOUT(m_downloader->InFlight(), 0, 20000);
        for (int i = 0; i < count; ++i) {
            verifyEnd(m_events.value(target(QString::number(i))), size(i));
            QCOMPARE(contentOf(target(QString::number(i))), pattern(size(i)));
        }
        // None of them failed a try unseen.
        QCOMPARE(m_slowRequests.load(), slow);
    }

    // A chunked body: the server library would cut a body of known length to
    // the asked range by itself, and so could not ignore Range.
    void script(const httplib::Request &req, httplib::Response &res)
    {
        Reply reply;
        {
            const std::lock_guard lock(m_scriptMutex);
            reply = m_script.at(std::min(m_tries.size(), m_script.size() - 1));
            m_tries.append({QByteArray::fromStdString(req.get_header_value("Range")),
                            QByteArray::fromStdString(req.get_header_value("If-Range")),
                            m_clock.elapsed()});
        }
        res.status = reply.status;
        if (!reply.etag.isEmpty())
            res.set_header("ETag", reply.etag.toStdString());
        if (reply.retryAfter)
            res.set_header("Retry-After", std::to_string(reply.retryAfter));
        if (reply.status != 200 || reply.body.isEmpty())
            return res.set_content(reply.body.toStdString(), "application/octet-stream");
        qint64 from = 0;
        const std::string range = req.get_header_value("Range");
        if (reply.ranges) {
            res.set_header("Accept-Ranges", "bytes");
            if (range.starts_with("bytes=")) {
                from = std::stoll(range.substr(6));
                res.status = 206;
                res.set_header("Content-Range", "bytes " + std::to_string(from) + '-' +
                                                    std::to_string(reply.body.size() - 1) + '/' +
                                                    std::to_string(reply.body.size()));
            }
        }
        const qint64 end = reply.cutAt < 0 ? reply.body.size() : reply.cutAt;
        const std::string part = reply.body.mid(from, end - from).toStdString();
        const bool whole = end == reply.body.size();
        res.set_chunked_content_provider(
            "application/octet-stream", [part, whole](size_t offset, httplib::DataSink &sink) {
                if (offset != 0 || !sink.write(part.data(), part.size()))
                    return false; // closes the connection in the middle of the body
                if (whole)
                    sink.done();
                return true;
            });
    }

    void retriesAndResumedReads_data()
    {
        QTest::addColumn<QList<Reply>>("replies");
        // The body stored at the end; null: the read fails, the old file stays.
        QTest::addColumn<QByteArray>("content");
        // Per try after the first: its least wait in seconds, and its Range and If-Range.
        QTest::addColumn<QList<int>>("waits");
        QTest::addColumn<QByteArrayList>("ranges");
        const QByteArray a = pattern(200000), b(200000, 'b');
        const QByteArray half = "bytes=100000-";
        const Reply cutA{.body = a, .cutAt = 100000, .etag = "\"v1\"", .ranges = true};
        QTest::newRow("cut, then resumed")
            << QList<Reply>{cutA, {.body = a, .etag = "\"v1\"", .ranges = true}} << a
            << QList<int>{1} << QByteArrayList{half + "|\"v1\""};
        QTest::newRow("cut, Range ignored: whole body again")
            << QList<Reply>{cutA, {.body = a, .etag = "\"v1\""}} << a << QList<int>{1}
            << QByteArrayList{half + "|\"v1\""};
        // The 206 continues another body: no mixed bytes, the third try asks for it whole.
        QTest::newRow("cut, validator changed: restart")
            << QList<Reply>{cutA, {.body = b, .etag = "\"v2\"", .ranges = true}} << b
            << QList<int>{1, 2} << QByteArrayList{half + "|\"v1\"", "|"};
        QTest::newRow("503 with Retry-After, then success")
            << QList<Reply>{{.status = 503, .body = "busy", .retryAfter = 3}, {.body = a}} << a
            << QList<int>{3} << QByteArrayList{"|"};
        QTest::newRow("500 every time: 1 + 3 tries")
            << QList<Reply>{{.status = 500, .body = "down"}} << QByteArray() << QList<int>{1, 2, 4}
            << QByteArrayList{"|", "|", "|"};
        QTest::newRow("404: not tried again")
            << QList<Reply>{{.status = 404, .body = "gone"}, {.body = a}} << QByteArray()
            << QList<int>{} << QByteArrayList{};
        // An update file of no bytes is taken for a fault, not a file to store.
        QTest::newRow("empty body (Content-Length: 0)")
            << QList<Reply>{{.body = ""}, {.body = a}} << QByteArray() << QList<int>{}
            << QByteArrayList{};
    }

    // Listeners see one read however many tries it takes.
    void retriesAndResumedReads()
    {
        QFETCH(QList<Reply>, replies);
        QFETCH(QByteArray, content);
        QFETCH(QList<int>, waits);
        QFETCH(QByteArrayList, ranges);
        setScript(replies);
        QVERIFY(writeOld(target()));

        m_downloader->BeginDownload(m_http->url("/script"), target());
        QTRY_VERIFY_WITH_TIMEOUT(completed(target()), 10000);
        verifyEnd(m_events.value(target()), content.isNull() ? -1 : content.size());
        QCOMPARE(contentOf(target()), content.isNull() ? oldContent : content);
        QCOMPARE(entriesOf(m_dir->path()), QStringList{"target.bin"});
        const QList<Try> seen = tries();
        QCOMPARE(seen.size(), 1 + waits.size());
        for (qsizetype i = 1; i < seen.size(); ++i) {
            QCOMPARE(seen[i].range + '|' + seen[i].ifRange, ranges[i - 1]);
            QVERIFY(seen[i].atMs - seen[i - 1].atMs >= waits[i - 1] * retrySecond.count());
        }
    }

    void partialKeptForTheNextRead_data()
    {
        QTest::addColumn<Reply>("second");
        // Written over the meta file between the reads; null: left as kept.
        QTest::addColumn<QByteArray>("meta");
        QTest::addColumn<QByteArray>("content");
        // Range and If-Range of each try of the second read.
        QTest::addColumn<QByteArrayList>("ranges");
        const QByteArray a = pattern(200000), b(200000, 'b');
        const QByteArray continued = "bytes=160000-|\"v1\"";
        QTest::newRow("continued with Range") << Reply{.body = a, .etag = "\"v1\"", .ranges = true}
                                              << QByteArray() << a << QByteArrayList{continued};
        // The 206 continues another body: no mixed bytes, the next try asks for it whole.
        QTest::newRow("validator changed: from byte 0")
            << Reply{.body = b, .etag = "\"v2\"", .ranges = true} << QByteArray() << b
            << QByteArrayList{continued, "|"};
        // A header smuggled into the validator must never reach the request.
        QTest::newRow("meta tampered with: from byte 0")
            << Reply{.body = a, .etag = "\"v1\"", .ranges = true}
            << QByteArray("updater partial body 1\n" + m_http->url("/script").toUtf8() +
                          "\n\"v1\"\r\nX-Evil: 1\n")
            << a << QByteArrayList{"|"};
    }

    // A read that opts in keeps the part of a body it got when it fails, and
    // the next read into the same file continues it; the digest still covers
    // the whole file.
    void partialKeptForTheNextRead()
    {
        QFETCH(Reply, second);
        QFETCH(QByteArray, meta);
        QFETCH(QByteArray, content);
        QFETCH(QByteArrayList, ranges);
        const QByteArray a = pattern(200000);
        const QStringList kept{"target.bin", "target.bin.partial", "target.bin.partial.meta"};
        QVERIFY(writeOld(target()));
        // Every try is cut short; the read fails with 160000 bytes of the body.
        QList<Reply> cuts;
        for (const qint64 cutAt : {100000, 120000, 140000, 160000})
            cuts.append({.body = a, .cutAt = cutAt, .etag = "\"v1\"", .ranges = true});
        setScript(cuts);
        m_downloader->BeginDownload(
            m_http->url("/script"), target(),
            {200000, QCryptographicHash::hash(a, QCryptographicHash::Sha256), true});
        QTRY_VERIFY_WITH_TIMEOUT(completed(target()), 10000);
        verifyEnd(m_events.value(target()), -1);
        QCOMPARE(tries().size(), 4);
        QCOMPARE(contentOf(target()), oldContent);
        QCOMPARE(entriesOf(m_dir->path()), kept);
        QCOMPARE(contentOf(target() + ".partial"), a.first(160000));

        if (!meta.isNull()) {
            QFile file(target() + ".partial.meta");
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QCOMPARE(file.write(meta), meta.size());
        }
        m_events.clear();
        setScript({second});
        m_downloader->BeginDownload(
            m_http->url("/script"), target(),
            {200000, QCryptographicHash::hash(content, QCryptographicHash::Sha256), true});
        QTRY_VERIFY_WITH_TIMEOUT(completed(target()), 10000);
        verifyEnd(m_events.value(target()), content.size());
        QCOMPARE(contentOf(target()), content);
        QCOMPARE(entriesOf(m_dir->path()), QStringList{"target.bin"});
        const QList<Try> seen = tries();
        QCOMPARE(seen.size(), ranges.size());
        for (qsizetype i = 0; i < seen.size(); ++i)
            QCOMPARE(seen[i].range + '|' + seen[i].ifRange, ranges[i]);
    }

    // A read waiting to be tried again is dropped at once, by AbortAll or
    // with the control, and leaves its old file.
    void dropDuringRetryWait()
    {
        ReadFacility::SetRetrySecondForTesting(std::chrono::seconds(10));
        setScript({{.status = 503, .body = "busy"}});
        QVERIFY(writeOld(target("a.bin")));
        m_downloader->BeginDownload(m_http->url("/script"), target("a.bin"));
        QTRY_COMPARE(tries().size(), 1);
        QElapsedTimer clock;
        clock.start();
        m_downloader->AbortAll();
        QCOMPARE(m_downloader->InFlight(), 0);
        ReadFacility::SetRetrySecondForTesting(retrySecond);
        verifyDropped({"a.bin"});

        ReadFacility::SetRetrySecondForTesting(std::chrono::seconds(10));
        QVERIFY(writeOld(target("b.bin")));
        m_downloader->BeginDownload(m_http->url("/script"), target("b.bin"));
        QTRY_COMPARE(tries().size(), 2);
        clock.start();
        makeDownloader();
        QVERIFY2(clock.elapsed() < 300, qPrintable(QString::number(clock.elapsed())));
        ReadFacility::SetRetrySecondForTesting(retrySecond);
        verifyDropped({"a.bin", "b.bin"});
    }

    void tlsReads_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("trusted");
        QTest::addColumn<bool>("stored");
        QTest::newRow("trusted certificate") << "/file.bin" << true << true;
        QTest::newRow("untrusted certificate") << "/file.bin" << false << false;
        // TLS could not protect a read that anybody on the way can answer.
        QTest::newRow("redirect from https to http") << "/to-http" << true << false;
    }

    // Over TLS and HTTP/2 with a certificate made for the test, which only a
    // read given its CA file trusts.
    void tlsReads()
    {
        QFETCH(QString, path);
        QFETCH(bool, trusted);
        QFETCH(bool, stored);
        QTemporaryDir tls;
        const QString certificate = tls.filePath("cert.pem"), key = tls.filePath("key.pem");
        QCOMPARE(QProcess::execute("openssl",
                                   {"req", "-x509", "-newkey", "ec", "-pkeyopt",
                                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                                    "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                                    "-keyout", key, "-out", certificate}),
                 0);
        QTemporaryDir served;
        QFile file(served.filePath("file.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(pattern(5000)) == 5000);
        file.close();
        NginxServer nginx(served.path());
        nginx.setTls(certificate, key);
        // The same body over plain http, from the test server; the file only over HTTP/2.
        nginx.addDirectives(QStringLiteral("location = /to-http { return 302 %1; } "
                                           "location = /file.bin { if ($server_protocol != "
                                           "HTTP/2.0) { return 505; } }")
                                .arg(m_http->url("/bytes/5000")));
        QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
        ReadFacility::SetCaFileForTesting(trusted ? certificate : QString());
        QVERIFY(writeOld(target()));

        m_downloader->BeginDownload(nginx.url(path), target());
        QTRY_VERIFY(completed(target()));
        verifyEnd(m_events.value(target()), stored ? 5000 : -1);
        QCOMPARE(contentOf(target()), stored ? pattern(5000) : oldContent);
        QCOMPARE(entriesOf(m_dir->path()), QStringList{"target.bin"});
    }

    void sizeStaysAt32()
    {
        QCOMPARE(m_downloader->size(), QSize(32, 32));
        m_downloader->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_downloader.get()));
        // Fixing another size resizes the control and also moves the limits
        // that a plain resize would obey.
        m_downloader->setFixedSize(300, 20);
        QTRY_COMPARE(m_downloader->size(), QSize(32, 32));
        QVERIFY(m_boxes.isEmpty());
        const auto *face = m_downloader->findChild<QLabel *>();
        QVERIFY(face);
        QCOMPARE(face->pixmap().size(), QSize(32, 32));
    }
};

QTEST_MAIN(tst_Downloader)
#include "tst_downloader.moc"
