#include "download/DiskFlush.h"
#include "download/Downloader.h"
#include "download/ModalBox.h"
#include "download/ReadFacility.h"
#include "tests/support/TestHttpServer.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <fcntl.h>
#include <memory>
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

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
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
    for (qsizetype i = 0; i < progress; ++i) {
        const Event &event = events.at(i);
        QVERIFY(event.kind == Event::Progress && event.max > 0);
        QCOMPARE(event.max, size < 0 ? events.first().max : size);
        QVERIFY(event.cur >= (i == 0 ? 0 : events.at(i - 1).cur) && event.cur <= event.max);
    }
    if (size >= 0)
        QCOMPARE(progress > 0 ? events.at(progress - 1).cur : qint64(0), size);
}

const QByteArray oldContent(300000, 'o');

// Whether the thread whose /proc/self/task/<id>/stat this is waits, blocked.
bool sleeping(const QString &stat)
{
    QFile file(stat);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = file.readAll();
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
            m_completed += event.kind == Event::Complete ? 1 : 0;
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

    std::unique_ptr<TestHttpServer> m_http;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Downloader> m_downloader;
    QHash<QString, QList<Event>> m_events;
    int m_completed = 0;
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
        m_completed = 0;
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
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("description");
        const QString ok = QStringLiteral("target.bin");
        QTest::newRow("empty address") << "" << ok << 1001 << "No address was given.";
        QTest::newRow("no scheme") << "/updates.txt" << ok << 1002
                                   << "The address does not name a protocol such as http://.";
        QTest::newRow("ftp") << "ftp://127.0.0.1/x" << ok << 1003
                             << "Only http:// and https:// addresses can be downloaded.";
        const QString malformed = QStringLiteral("The address is not a valid internet address.");
        QTest::newRow("no host") << "http:///updates.txt" << ok << 1004 << malformed;
        QTest::newRow("broken IPv6 host") << "http://[::1/x" << ok << 1004 << malformed;
        QTest::newRow("no target") << "http://127.0.0.1:1/x" << QString() << 1005
                                   << "No file was given to receive the download.";
        // The read already under way keeps the file.
        QTest::newRow("target in flight") << m_http->url("/bytes/10") << ok << 1006
                                          << "A download into this file is already in progress.";
    }

    void refusedStartShowsWarningBox()
    {
        QFETCH(QString, url);
        QFETCH(QString, name);
        QFETCH(int, code);
        QFETCH(QString, description);
        const QString tag = name.isEmpty() ? QString() : target(name);
        const bool busy = code == 1006;
        if (busy)
            m_downloader->BeginDownload(m_http->url("/slow"), tag);

        m_downloader->BeginDownload(url, tag);
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes.first().text, QString::number(code) +
                                           ":Error in call to BeginDownload().\r\n\r\n"
                                           "Error Description: " +
                                           description);
        QCOMPARE(m_boxes.first().title, QStringLiteral("Warning"));
        QCOMPARE(m_boxes.first().icon, BoxIcon::Stop);
        QCOMPARE(m_downloader->InFlight(), busy ? 1 : 0);

        // Events of one read come in order, so once a later read has completed
        // nothing can still be on its way for the refused one.
        m_downloader->BeginDownload(m_http->url("/bytes/10"), target("later.bin"));
        QTRY_VERIFY(completed(target("later.bin")) && (!busy || completed(tag)));
        if (busy)
            verifyEnd(m_events.value(tag), 2000);
        else
            QVERIFY(m_events.value(tag).isEmpty());
        QCOMPARE(contentOf(target()), busy ? pattern(2000) : QByteArray("<missing>"));
    }

    void readReplacesTargetOnlyWhenStored_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size"); // negative: the read fails
        const QString old = QStringLiteral("target.bin");
        QTest::newRow("with length") << "/bytes/100000" << old << qint64(100000);
        QTest::newRow("64 MiB") << "/bytes/67108864" << old << qint64(64 * 1024 * 1024);
        QTest::newRow("chunked") << "/chunked/100000" << old << qint64(100000);
        QTest::newRow("redirect chain") << "/redirect/5" << old << qint64(5000);
        QTest::newRow("empty with length") << "/bytes/0" << old << qint64(0);
        QTest::newRow("empty chunked") << "/chunked/0" << old << qint64(0);
        QTest::newRow("404") << "/404" << old << qint64(-1);
        QTest::newRow("closed before announced length") << "/truncated" << old << qint64(-1);
        QTest::newRow("stalled") << "/stall" << old << qint64(-1);
        QTest::newRow("connection refused") << "" << old << qint64(-1);
        QTest::newRow("missing folder") << "/bytes/5000" << QString("no/t.bin") << qint64(-1);
        QTest::newRow("target is a folder") << "/bytes/5000" << QString("folder") << qint64(-1);
    }

    // Every new body but the big one is shorter than the old file, so any old
    // byte left behind shows.
    void readReplacesTargetOnlyWhenStored()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        QFETCH(qint64, size);
        // Bytes reported so far against the largest file this process holds open
        // below the folder (QSaveFile may keep its temporary file nameless till
        // commit): a body is written as it comes, not held back in memory.
        const QString folder = QFileInfo(m_dir->path()).canonicalFilePath();
        connect(m_downloader.get(), &Downloader::DownloadProgress, this,
                [folder](qint64 cur, qint64 max, const QString &) {
                    if (cur == max)
                        return;
                    qint64 written = 0;
                    const QDir fds(QStringLiteral("/proc/self/fd"));
                    for (const QFileInfo &fd : fds.entryInfoList(QDir::System | QDir::Files))
                        if (fd.symLinkTarget().startsWith(folder))
                            written = std::max(written, QFileInfo(fd.filePath()).size());
                    QVERIFY2(written >= cur - 1024 * 1024, "the body was held back, not written");
                });
        QString url = m_http->url(path);
        if (path.isEmpty()) {
            // A port that was free a moment ago and is closed again.
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost));
            url = QStringLiteral("http://127.0.0.1:%1/x").arg(closed.serverPort());
        }
        QVERIFY(writeFile(target(), oldContent));
        QVERIFY(QDir(m_dir->path()).mkdir("folder"));

        m_downloader->BeginDownload(url, target(name));
        QVERIFY(m_downloader->IsInFlight(target(name)));
        QTRY_VERIFY_WITH_TIMEOUT(completed(target(name)), 30000);
        verifyEnd(m_events.value(target(name)), size);
        QCOMPARE(contentOf(target()), size < 0 ? oldContent : pattern(size));
        QVERIFY(QFileInfo(target("folder")).isDir());
        QCOMPARE(entriesOf(m_dir->path()), (QStringList{"folder", "target.bin"}));
    }

    // AbortAll, then destroying the control: no event follows for the reads
    // dropped, their old files stay and their temporary files go.
    void droppedReadsRaiseNothingAndKeepOldFiles()
    {
        const auto startSlow = [this](const QString &name) {
            QVERIFY(writeFile(target(name), oldContent));
            m_downloader->BeginDownload(m_http->url("/slow"), target(name));
        };
        startSlow("a.bin");
        startSlow("b.bin");
        QTRY_VERIFY(!m_events.value(target("a.bin")).isEmpty() &&
                    !m_events.value(target("b.bin")).isEmpty());
        m_downloader->AbortAll();
        QCOMPARE(m_downloader->InFlight(), 0);
        const qsizetype eventsAtAbort =
            m_events.value(target("a.bin")).size() + m_events.value(target("b.bin")).size();
        startSlow("c.bin");
        QTRY_VERIFY(!m_events.value(target("c.bin")).isEmpty());
        makeDownloader();

        m_downloader->BeginDownload(m_http->url("/slow"), target("d.bin"));
        QTRY_VERIFY(completed(target("d.bin")));
        QCOMPARE(m_events.value(target("a.bin")).size() + m_events.value(target("b.bin")).size(),
                 eventsAtAbort);
        for (const char *name : {"a.bin", "b.bin", "c.bin"})
            QCOMPARE(contentOf(target(name)), oldContent);
        QCOMPARE(entriesOf(m_dir->path()), (QStringList{"a.bin", "b.bin", "c.bin", "d.bin"}));
    }

    // A complete body is written through to the disk before its read ends.
    // AbortAll meanwhile waits for that flush, so the worker never flushes a
    // closed file, and the read raises nothing and leaves its old file.
    void abortWhileFlushingKeepsOldFile()
    {
        struct Held {
            std::atomic<bool> entered = false;
            std::atomic<bool> aborting = false;
            std::atomic<bool> released = false;
            std::atomic<bool> finished = false;
            std::atomic<bool> openAfterFlush = true;
            std::atomic<int> calls = 0;
        };
        const auto held = std::make_shared<Held>();
        const QString mainState = QStringLiteral("/proc/self/task/%1/stat").arg(gettid());
        // Only the first flush is held, until this thread sleeps inside
        // AbortAll: had AbortAll not waited, the file would be closed by then.
        ReadFacility::SetDiskFlushForTesting([held, mainState](qintptr handle) {
            if (held->calls++ == 0) {
                held->entered = true;
                while (!held->released && !(held->aborting && sleeping(mainState)))
                    QThread::yieldCurrentThread();
            }
            const bool flushed = FlushToDisk(handle);
            if (fcntl(static_cast<int>(handle), F_GETFD) == -1)
                held->openAfterFlush = false;
            held->finished = true;
            return flushed;
        });
        // A failed check must not leave the worker held while the control waits for it.
        const auto release = qScopeGuard([held] { held->released = true; });
        QVERIFY(writeFile(target(), oldContent));

        m_downloader->BeginDownload(m_http->url("/bytes/100000"), target());
        QTRY_VERIFY(held->entered);
        QVERIFY(m_downloader->IsInFlight(target()));
        QVERIFY(!completed(target()));
        held->aborting = true;
        m_downloader->AbortAll();
        QVERIFY(held->finished);
        QVERIFY(held->openAfterFlush);
        QCOMPARE(m_downloader->InFlight(), 0);
        const qsizetype eventsAtAbort = m_events.value(target()).size();

        m_downloader->BeginDownload(m_http->url("/bytes/10"), target("later.bin"));
        QTRY_VERIFY(completed(target("later.bin")));
        QCOMPARE(m_events.value(target()).size(), eventsAtAbort);
        QCOMPARE(contentOf(target()), oldContent);
        QCOMPARE(entriesOf(m_dir->path()), (QStringList{"later.bin", "target.bin"}));
        QCOMPARE(held->calls.load(), 2);
    }

    // A big body is flushed while it still arrives, so little is left to write
    // through at its end, and it still replaces its target completely.
    void bigBodyIsFlushedWhileArriving()
    {
        const auto flushes = std::make_shared<std::atomic<int>>(0);
        ReadFacility::SetDiskFlushForTesting([flushes](qintptr handle) {
            ++*flushes;
            return FlushToDisk(handle);
        });
        const qint64 size = 64 * 1024 * 1024;
        QVERIFY(writeFile(target(), oldContent));

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
        QCOMPARE(m_downloader->InFlight(), count);

        QTRY_COMPARE_WITH_TIMEOUT(m_completed, count, 20000);
        for (int i = 0; i < count; ++i) {
            verifyEnd(m_events.value(target(QString::number(i))), size(i));
            QCOMPARE(contentOf(target(QString::number(i))), pattern(size(i)));
        }
    }

    void forceUpdateBypassesCaches()
    {
        m_downloader->BeginDownload(m_http->url("/headers"), target());
        QTRY_VERIFY(completed(target()));
        QCOMPARE(contentOf(target()), QByteArray("no-cache|no-cache|identity"));
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
