#include "download/DiskFlush.h"
#include "download/Downloader.h"
#include "download/ModalBox.h"
#include "download/ReadFacility.h"
#include "tests/support/TestHttpServer.h"

#include <QLabel>
#include <QtTest>
#include <atomic>
#include <fcntl.h>
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
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Downloader> m_downloader;
    QHash<QString, QList<Event>> m_events;
    QList<ModalBoxRequest> m_boxes;

private slots:
    void initTestCase()
    {
        // Loopback traffic must not wander off to a proxy of the machine.
        for (const char *name :
             {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            qunsetenv(name);
        // Long enough for a slow body's 25 ms pauses, short enough to see a stall quickly.
        ReadFacility::SetTransferTimeoutForTesting(std::chrono::milliseconds(500));
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
        m_http->start();
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_boxes.clear();
        m_events.clear();
        SetModalBoxPresenter(
            [this](QWidget *, const ModalBoxRequest &request) { m_boxes.append(request); });
        makeDownloader();
    }

    void cleanup()
    {
        m_downloader.reset();
        SetModalBoxPresenter({});
        ReadFacility::SetDiskFlushForTesting({});
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
        QCOMPARE(m_boxes.first().text, QString::number(code) +
                                           ":Error in call to BeginDownload().\r\n\r\n"
                                           "Error Description: " +
                                           DownloaderErrorDescription(DownloaderError(code)));
        QCOMPARE(m_boxes.first().title, QStringLiteral("Warning"));
        QCOMPARE(m_boxes.first().icon, BoxIcon::Stop);
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
        QTest::newRow("empty") << "/bytes/0" << old << QByteArray("");
        // Force update: whatever lies in a cache on the way, fetch it anew, unencoded.
        QTest::newRow("no cache") << "/headers" << old << QByteArray("no-cache|no-cache|identity");
        QTest::newRow("404") << "/404" << old << oldContent;
        QTest::newRow("closed before announced length") << "/truncated" << old << oldContent;
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
        QTRY_VERIFY(completed(target(name)));
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
    // AbortAll meanwhile waits for that flush, so the worker never flushes a
    // closed file, and the read raises nothing and leaves its old file.
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
        // Only the first flush is held, until this thread sleeps inside
        // AbortAll: had AbortAll not waited, the file would be closed by then.
        ReadFacility::SetDiskFlushForTesting([held, mainState](qintptr handle) {
            const bool first = held->calls++ == 0;
            while (first && !held->released && !(held->aborting && sleeping(mainState)))
                QThread::yieldCurrentThread();
            const bool flushed = FlushToDisk(handle);
            // Set once the held flush is done, and only if its file was still open.
            if (first)
                held->flushedOpen = fcntl(static_cast<int>(handle), F_GETFD) != -1;
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
        QVERIFY(held->flushedOpen);
        verifyDropped({"target.bin"});
        // The dropped read flushed once, the later one once.
        QCOMPARE(held->calls.load(), 2);
    }

    // A big body is written to its file as it comes, not held back in memory,
    // and flushed while it still arrives, so little is left to write through
    // at its end; it still replaces its target completely.
    void bigBodyIsFlushedWhileArriving()
    {
        const auto flushes = std::make_shared<std::atomic<int>>(0);
        ReadFacility::SetDiskFlushForTesting([flushes](qintptr handle) {
            ++*flushes;
            return FlushToDisk(handle);
        });
        // Bytes reported so far against the largest file this process holds open
        // below the folder (QSaveFile may keep its temporary file nameless till commit).
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
        // One flush at least while the body arrived, and the last one at its end.
        QVERIFY(flushes->load() >= 2);
    }

    // Connections are limited per host, so reads beyond them wait for one; a
    // read that waits must not count as one that receives nothing. Bodies of
    // sizes of their own show that no read's bytes or events reach another tag.
    void queuedReadsDoNotTimeOutAndKeepTagsApart()
    {
        const int count = 20, slow = 12;
        const auto size = [](int i) { return i < slow ? 2000 : 1000 + i * 97; };
        for (int i = 0; i < count; ++i)
            m_downloader->BeginDownload(m_http->url(i < slow
                                                        ? QStringLiteral("/slow")
                                                        : "/bytes/" + QString::number(size(i))),
                                        target(QString::number(i)));
        // A second read into a file in flight is refused; the first keeps the file.
        m_downloader->BeginDownload(m_http->url("/bytes/10"), target("0"));
        QCOMPARE(m_boxes.size(), 1);
        QVERIFY(m_boxes.first().text.startsWith("1006:"));
        QCOMPARE(m_downloader->InFlight(), count);

        QTRY_COMPARE_WITH_TIMEOUT(m_downloader->InFlight(), 0, 20000);
        for (int i = 0; i < count; ++i) {
            verifyEnd(m_events.value(target(QString::number(i))), size(i));
            QCOMPARE(contentOf(target(QString::number(i))), pattern(size(i)));
        }
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
