#include "download/Downloader.h"
#include "download/ModalBox.h"
#include "download/ReadFacility.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TestHttpServer.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <mutex>

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

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                                  QDir::Name);
}

// Bytes held by this process in files open below `folder`, named or not
// (QSaveFile may keep its temporary file nameless until it commits).
qint64 bytesInOpenFilesBelow(const QString &folder)
{
    qint64 bytes = 0;
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    for (const QFileInfo &link : descriptors.entryInfoList(QDir::System | QDir::Files)) {
        if (link.symLinkTarget().startsWith(folder))
            bytes = std::max(bytes, QFileInfo(link.filePath()).size());
    }
    return bytes;
}

struct Event {
    enum Kind { Progress, Error, Complete } kind;
    qint64 cur = 0;
    qint64 max = 0;
    bool inFlight = false;
};

// Every event of a Downloader, per tag, in the order raised.
class EventLog
{
public:
    explicit EventLog(Downloader &downloader)
    {
        QObject::connect(&downloader, &Downloader::DownloadProgress, &m_context,
                         [this, &downloader](qint64 cur, qint64 max, const QString &tag) {
                             add(tag, {Event::Progress, cur, max, downloader.IsInFlight(tag)});
                         });
        QObject::connect(&downloader, &Downloader::DownloadError, &m_context,
                         [this, &downloader](const QString &tag) {
                             add(tag, {Event::Error, 0, 0, downloader.IsInFlight(tag)});
                         });
        QObject::connect(&downloader, &Downloader::DownloadComplete, &m_context,
                         [this, &downloader](qint64 max, const QString &tag) {
                             add(tag, {Event::Complete, 0, max, downloader.IsInFlight(tag)});
                             ++m_completed;
                         });
    }

    QList<Event> of(const QString &tag) const { return m_events.value(tag); }
    bool completed(const QString &tag) const
    {
        const QList<Event> events = of(tag);
        return !events.isEmpty() && events.last().kind == Event::Complete;
    }
    int completedCount() const { return m_completed; }
    int total() const { return m_total; }

private:
    void add(const QString &tag, const Event &event)
    {
        m_events[tag].append(event);
        ++m_total;
    }

    QObject m_context;
    QHash<QString, QList<Event>> m_events;
    int m_completed = 0;
    int m_total = 0;
};

// A failed read: DownloadError, then DownloadComplete with 0, and no
// progress claiming a total of 0.
void verifyFailed(const QList<Event> &events)
{
    QVERIFY(events.size() >= 2);
    QCOMPARE(events.at(events.size() - 2).kind, Event::Error);
    QCOMPARE(events.last().kind, Event::Complete);
    QCOMPARE(events.last().max, 0);
    QVERIFY(!events.last().inFlight);
    for (qsizetype i = 0; i < events.size() - 2; ++i) {
        QCOMPARE(events.at(i).kind, Event::Progress);
        QVERIFY(events.at(i).max > 0);
    }
}

// A stored read of `size` bytes: progress that only moves forward within a
// fixed total, ending full, then one DownloadComplete(size).
void verifyStored(const QList<Event> &events, qint64 size)
{
    QVERIFY(!events.isEmpty());
    QCOMPARE(events.last().kind, Event::Complete);
    QCOMPARE(events.last().max, size);
    QVERIFY(!events.last().inFlight);
    qint64 previous = 0;
    for (qsizetype i = 0; i < events.size() - 1; ++i) {
        const Event &event = events.at(i);
        QCOMPARE(event.kind, Event::Progress);
        QCOMPARE(event.max, size);
        QVERIFY(event.cur >= previous && event.cur <= event.max);
        previous = event.cur;
    }
    if (size != 0)
        QCOMPARE(events.at(events.size() - 2).cur, size);
    else
        QCOMPARE(events.size(), 1);
}

const QByteArray oldContent(300000, 'o');

} // namespace

class tst_Downloader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void refusedStartShowsWarningBox_data();
    void refusedStartShowsWarningBox();
    void secondReadIntoSameFileIsRefused();
    void storedReadReplacesOldFile_data();
    void storedReadReplacesOldFile();
    void failedReadLeavesOldFileIntact_data();
    void failedReadLeavesOldFileIntact();
    void storeFailureFailsTheRead_data();
    void storeFailureFailsTheRead();
    void abortAllKeepsOldFilesAndRemovesTemporaries();
    void destroyingDownloaderDropsItsReads();
    void readsQueuedBehindBusyConnectionsDoNotTimeOut();
    void bigBodyIsStreamedToDisk();
    void forceUpdateBypassesCaches();
    void manyReadsFromNginxKeepTagsApart();
    void sizeStaysAt32_data();
    void sizeStaysAt32();

private:
    QString target(const QString &name = QStringLiteral("target.bin")) const
    {
        return m_dir->filePath(name);
    }

    std::unique_ptr<TestHttpServer> m_http;
    std::mutex m_headersLock;
    httplib::Headers m_lastHeaders;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Downloader> m_downloader;
    std::unique_ptr<EventLog> m_log;
    QList<ModalBoxRequest> m_boxes;
};

void tst_Downloader::initTestCase()
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
    m_http->server().Get("/headers", [this](const httplib::Request &req, httplib::Response &res) {
        const std::lock_guard lock(m_headersLock);
        m_lastHeaders = req.headers;
        res.set_content("seen", "text/plain");
    });
    m_http->start();
}

void tst_Downloader::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_boxes.clear();
    SetModalBoxPresenter(
        [this](QWidget *, const ModalBoxRequest &request) { m_boxes.append(request); });
    m_downloader = std::make_unique<Downloader>();
    m_log = std::make_unique<EventLog>(*m_downloader);
}

void tst_Downloader::cleanup()
{
    m_log.reset();
    m_downloader.reset();
    SetModalBoxPresenter({});
    m_dir.reset();
}

void tst_Downloader::refusedStartShowsWarningBox_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");

    const QString ok = QStringLiteral("target.bin");
    const auto text = [](int code, const char *description) {
        return QString::number(code) + ":Error in call to BeginDownload().\r\n\r\n" +
               "Error Description: " + description;
    };
    QTest::newRow("empty address") << "" << ok << text(1001, "No address was given.");
    const QString noScheme = text(1002, "The address does not name a protocol such as http://.");
    QTest::newRow("path only") << "/updates.txt" << ok << noScheme;
    QTest::newRow("host without scheme") << "example.com/updates.txt" << ok << noScheme;
    const QString unsupported =
        text(1003, "Only http:// and https:// addresses can be downloaded.");
    QTest::newRow("ftp") << "ftp://127.0.0.1/updates.txt" << ok << unsupported;
    QTest::newRow("file") << "file:///etc/passwd" << ok << unsupported;
    const QString malformed = text(1004, "The address is not a valid internet address.");
    QTest::newRow("no host") << "http:///updates.txt" << ok << malformed;
    QTest::newRow("blank in host") << "http://exa mple.com/x" << ok << malformed;
    QTest::newRow("broken IPv6 host") << "http://[::1/x" << ok << malformed;
    QTest::newRow("no target") << "http://127.0.0.1:1/x"
                               << "" << text(1005, "No file was given to receive the download.");
}

void tst_Downloader::refusedStartShowsWarningBox()
{
    QFETCH(QString, url);
    QFETCH(QString, name);
    QFETCH(QString, text);
    const QString tag = name.isEmpty() ? QString() : target(name);

    m_downloader->BeginDownload(url, tag);

    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes.first().text, text);
    QCOMPARE(m_boxes.first().title, QStringLiteral("Warning"));
    QCOMPARE(m_boxes.first().icon, BoxIcon::Stop);
    QVERIFY(!m_downloader->IsInFlight(tag));
    QCOMPARE(m_downloader->InFlight(), 0);

    // Events of one read come in order, so once a later read has completed
    // nothing can still be on its way for the refused one.
    const QString later = target(QStringLiteral("later.bin"));
    m_downloader->BeginDownload(m_http->url("/bytes/10"), later);
    QTRY_VERIFY(m_log->completed(later));
    QVERIFY(m_log->of(tag).isEmpty());
    QVERIFY(!QFile::exists(target()));
}

void tst_Downloader::secondReadIntoSameFileIsRefused()
{
    m_downloader->BeginDownload(m_http->url("/slow"), target());
    m_downloader->BeginDownload(m_http->url("/bytes/10"), target());

    QCOMPARE(m_boxes.size(), 1);
    QVERIFY(m_boxes.first().text.startsWith(
        "1006:Error in call to BeginDownload().\r\n\r\nError Description: "));
    QCOMPARE(m_downloader->InFlight(), 1);
    QTRY_VERIFY(m_log->completed(target()));
    verifyStored(m_log->of(target()), 2000);
    QCOMPARE(contentOf(target()), pattern(2000));
}

void tst_Downloader::storedReadReplacesOldFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("lengthKnown");

    QTest::newRow("with length") << "/bytes/100000" << qint64(100000) << true;
    QTest::newRow("chunked") << "/chunked/100000" << qint64(100000) << false;
    QTest::newRow("slow") << "/slow" << qint64(2000) << true;
    QTest::newRow("redirect chain") << "/redirect/5" << qint64(5000) << true;
    QTest::newRow("empty with length") << "/bytes/0" << qint64(0) << true;
    QTest::newRow("empty chunked") << "/chunked/0" << qint64(0) << false;
}

// Every new body is shorter than the old file, so any old byte left behind shows.
void tst_Downloader::storedReadReplacesOldFile()
{
    QFETCH(QString, path);
    QFETCH(qint64, size);
    QFETCH(bool, lengthKnown);
    writeFile(target(), oldContent);

    m_downloader->BeginDownload(m_http->url(path), target());
    QVERIFY(m_downloader->IsInFlight(target()));
    QTRY_VERIFY(m_log->completed(target()));

    const QList<Event> events = m_log->of(target());
    verifyStored(events, size);
    if (!lengthKnown && size != 0)
        QCOMPARE(events.size(), 2);
    QCOMPARE(contentOf(target()), pattern(size));
    QCOMPARE(entriesOf(m_dir->path()), QStringList{"target.bin"});
}

void tst_Downloader::failedReadLeavesOldFileIntact_data()
{
    QTest::addColumn<QString>("path");

    QTest::newRow("404") << "/404";
    QTest::newRow("500") << "/500";
    QTest::newRow("closed before announced length") << "/truncated";
    QTest::newRow("stalled") << "/stall";
    QTest::newRow("redirect loop") << "/redirect-loop";
    QTest::newRow("connection refused") << "";
}

void tst_Downloader::failedReadLeavesOldFileIntact()
{
    QFETCH(QString, path);
    QString url = m_http->url(path);
    if (path.isEmpty()) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        url = QStringLiteral("http://127.0.0.1:%1/x").arg(closed.serverPort());
    }
    writeFile(target(), oldContent);

    m_downloader->BeginDownload(url, target());
    QTRY_VERIFY(m_log->completed(target()));

    verifyFailed(m_log->of(target()));
    QCOMPARE(contentOf(target()), oldContent);
    QCOMPARE(entriesOf(m_dir->path()), QStringList{"target.bin"});
}

void tst_Downloader::storeFailureFailsTheRead_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("targetIsFolder");

    QTest::newRow("missing folder") << "missing/target.bin" << false;
    QTest::newRow("target is a folder") << "target.bin" << true;
    QTest::newRow("read-only folder") << "locked/target.bin" << false;
}

void tst_Downloader::storeFailureFailsTheRead()
{
    QFETCH(QString, name);
    QFETCH(bool, targetIsFolder);
    if (targetIsFolder)
        QVERIFY(QDir(m_dir->path()).mkdir(name));
    if (name.startsWith("locked/")) {
        QVERIFY(QDir(m_dir->path()).mkdir("locked"));
        QVERIFY(QFile::setPermissions(target("locked"), QFile::ReadOwner | QFile::ExeOwner));
        QFile probe(target("locked/probe"));
        if (probe.open(QIODevice::WriteOnly)) {
            probe.remove();
            QSKIP("these rights write into a read-only folder");
        }
    }
    const QStringList before = entriesOf(m_dir->path());

    m_downloader->BeginDownload(m_http->url("/bytes/5000"), target(name));
    QTRY_VERIFY(m_log->completed(target(name)));

    verifyFailed(m_log->of(target(name)));
    QCOMPARE(QFileInfo(target(name)).isDir(), targetIsFolder);
    QCOMPARE(entriesOf(m_dir->path()), before);
}

void tst_Downloader::abortAllKeepsOldFilesAndRemovesTemporaries()
{
    const QStringList names{"a.bin", "b.bin"};
    for (const QString &name : names) {
        writeFile(target(name), oldContent);
        m_downloader->BeginDownload(m_http->url("/slow"), target(name));
    }
    // The first bytes of both have reached their temporary files.
    QTRY_VERIFY(!m_log->of(target("a.bin")).isEmpty());
    QTRY_VERIFY(!m_log->of(target("b.bin")).isEmpty());

    m_downloader->AbortAll();
    const int eventsAtAbort = m_log->total();
    QCOMPARE(m_downloader->InFlight(), 0);
    QVERIFY(!m_downloader->IsInFlight(target("a.bin")));

    m_downloader->BeginDownload(m_http->url("/slow"), target("c.bin"));
    QTRY_VERIFY(m_log->completed(target("c.bin")));
    QCOMPARE(m_log->total(), eventsAtAbort + m_log->of(target("c.bin")).size());
    for (const QString &name : names)
        QCOMPARE(contentOf(target(name)), oldContent);
    QCOMPARE(entriesOf(m_dir->path()), (QStringList{"a.bin", "b.bin", "c.bin"}));
}

void tst_Downloader::destroyingDownloaderDropsItsReads()
{
    writeFile(target(), oldContent);
    m_downloader->BeginDownload(m_http->url("/slow"), target());
    QTRY_VERIFY(!m_log->of(target()).isEmpty());

    m_log.reset();
    m_downloader.reset();

    Downloader other;
    EventLog log(other);
    other.BeginDownload(m_http->url("/slow"), target("other.bin"));
    QTRY_VERIFY(log.completed(target("other.bin")));
    QCOMPARE(contentOf(target()), oldContent);
    QCOMPARE(entriesOf(m_dir->path()), (QStringList{"other.bin", "target.bin"}));
}

// Connections are limited per host, so some reads wait for one; a read that
// waits must not count as a read that receives nothing.
void tst_Downloader::readsQueuedBehindBusyConnectionsDoNotTimeOut()
{
    const int count = 14;
    for (int i = 0; i < count; ++i)
        m_downloader->BeginDownload(m_http->url("/slow"), target(QString::number(i)));
    QCOMPARE(m_downloader->InFlight(), count);

    QTRY_COMPARE_WITH_TIMEOUT(m_log->completedCount(), count, 20000);
    for (int i = 0; i < count; ++i) {
        verifyStored(m_log->of(target(QString::number(i))), 2000);
        QCOMPARE(contentOf(target(QString::number(i))), pattern(2000));
    }
}

void tst_Downloader::bigBodyIsStreamedToDisk()
{
    if (!QFileInfo::exists(QStringLiteral("/proc/self/fd")))
        QSKIP("needs /proc to see the open temporary file");
    const qint64 size = 64 * 1024 * 1024;
    const QString folder = QFileInfo(m_dir->path()).canonicalFilePath();
    // Bytes reported so far against bytes already written, during the read.
    QList<std::pair<qint64, qint64>> midway;
    connect(m_downloader.get(), &Downloader::DownloadProgress, this,
            [&](qint64 cur, qint64 max, const QString &) {
                if (cur < max)
                    midway.append({cur, bytesInOpenFilesBelow(folder)});
            });

    m_downloader->BeginDownload(m_http->url(QStringLiteral("/bytes/%1").arg(size)), target());
    QTRY_VERIFY_WITH_TIMEOUT(m_log->completed(target()), 30000);

    verifyStored(m_log->of(target()), size);
    if (midway.isEmpty())
        QSKIP("the whole body arrived at once");
    for (const auto &[reported, written] : midway)
        QVERIFY2(written >= reported - 1024 * 1024, "the body was held back instead of written");
    QFile file(target());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.size(), size);
    const QByteArray expected = pattern(size);
    QVERIFY(file.readAll() == expected);
}

void tst_Downloader::forceUpdateBypassesCaches()
{
    m_downloader->BeginDownload(m_http->url("/headers"), target());
    QTRY_VERIFY(m_log->completed(target()));

    const std::lock_guard lock(m_headersLock);
    const auto header = [this](const char *name) {
        const auto found = m_lastHeaders.find(name);
        return found == m_lastHeaders.end() ? std::string("<absent>") : found->second;
    };
    QCOMPARE(header("Cache-Control"), std::string("no-cache"));
    QCOMPARE(header("Pragma"), std::string("no-cache"));
    QCOMPARE(header("Accept-Encoding"), std::string("identity"));
}

void tst_Downloader::manyReadsFromNginxKeepTagsApart()
{
    QTemporaryDir served;
    QVERIFY(served.isValid());
    const int count = 200;
    const auto body = [](int i) {
        return pattern(1000 + i * 97).repeated(1 + i % 3) + QByteArray::number(i);
    };
    for (int i = 0; i < count; ++i)
        writeFile(served.filePath(QStringLiteral("f%1.bin").arg(i)), body(i));
    NginxServer nginx(served.path());
    QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));

    for (int i = 0; i < count; ++i)
        m_downloader->BeginDownload(nginx.url(QStringLiteral("/f%1.bin").arg(i)),
                                    target(QStringLiteral("f%1.bin").arg(i)));
    QTRY_COMPARE_WITH_TIMEOUT(m_log->completedCount(), count, 30000);

    for (int i = 0; i < count; ++i) {
        const QString tag = target(QStringLiteral("f%1.bin").arg(i));
        verifyStored(m_log->of(tag), body(i).size());
        QCOMPARE(contentOf(tag), body(i));
    }
    QCOMPARE(entriesOf(m_dir->path()).size(), count);
}

void tst_Downloader::sizeStaysAt32_data()
{
    QTest::addColumn<QSize>("requested");
    QTest::addColumn<int>("how");

    QTest::newRow("resize larger") << QSize(200, 100) << 0;
    QTest::newRow("resize smaller") << QSize(8, 8) << 0;
    QTest::newRow("geometry") << QSize(64, 64) << 1;
    QTest::newRow("minimum size") << QSize(64, 48) << 2;
    QTest::newRow("maximum size") << QSize(16, 16) << 3;
    QTest::newRow("fixed size") << QSize(300, 20) << 4;
}

void tst_Downloader::sizeStaysAt32()
{
    QFETCH(QSize, requested);
    QFETCH(int, how);
    Downloader &downloader = *m_downloader;
    QCOMPARE(downloader.size(), QSize(32, 32));
    downloader.show();
    QVERIFY(QTest::qWaitForWindowExposed(&downloader));

    switch (how) {
    case 0:
        downloader.resize(requested);
        break;
    case 1:
        downloader.setGeometry(QRect(QPoint(5, 5), requested));
        break;
    case 2:
        downloader.setMinimumSize(requested);
        break;
    case 3:
        downloader.setMaximumSize(requested);
        break;
    default:
        downloader.setFixedSize(requested);
        break;
    }
    QTRY_COMPARE(downloader.size(), QSize(32, 32));
    QVERIFY(m_boxes.isEmpty());

    const auto *face = downloader.findChild<QLabel *>();
    QVERIFY(face);
    QCOMPARE(face->pixmap().size(), QSize(32, 32));
}

QTEST_MAIN(tst_Downloader)
#include "tst_downloader.moc"
