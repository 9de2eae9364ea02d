// Downloader against curl on one nginx on loopback: throughput of one 1 GiB
// file, wall time of 1,000 small files started at once, and the peak memory
// of the large download. Prints its figures; asserts nothing.
#include "download/Downloader.h"
#include "tests/support/NginxServer.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <cstdio>

namespace
{

constexpr qint64 bigSize = qint64(1) << 30;
constexpr int smallCount = 1000;
constexpr qint64 smallSize = 16 * 1024;
// QNetworkAccessManager's connections per host for HTTP/1.1; curl gets the same.
constexpr int connections = 6;

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"); 0 where there is none.
qint64 statusKiB(const QString &field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return 0;
    QTextStream lines(&status);
    for (QString line = lines.readLine(); !line.isNull(); line = lines.readLine())
        if (line.startsWith(field + QLatin1Char(':')))
            return line.section(QLatin1Char(':'), 1)
                .trimmed()
                .section(QLatin1Char(' '), 0, 0)
                .toLongLong();
    return 0;
}

// Lets VmHWM start again from the present resident size.
void resetPeakMemory()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

void flushDisks()
{
    QProcess::execute(QStringLiteral("sync"), {});
}

double secondsOf(const std::function<void()> &work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return timer.nsecsElapsed() / 1e9;
}

void runCurl(const QStringList &arguments)
{
    QProcess curl;
    curl.start(QStringLiteral("curl"), arguments);
    curl.waitForFinished(-1);
    if (curl.exitCode() != 0)
        std::fprintf(stderr, "curl failed: %s\n", curl.readAllStandardError().constData());
}

// Starts every read at once and returns when all have completed; counts failures.
int downloadAll(Downloader &downloader, const QList<std::pair<QString, QString>> &reads)
{
    int completed = 0;
    int failed = 0;
    QEventLoop loop;
    const auto onComplete = QObject::connect(&downloader, &Downloader::DownloadComplete, &loop,
                                             [&](qint64, const QString &) {
                                                 if (++completed == reads.size())
                                                     loop.quit();
                                             });
    const auto onError = QObject::connect(&downloader, &Downloader::DownloadError, &loop,
                                          [&](const QString &) { ++failed; });
    for (const auto &[url, file] : reads)
        downloader.BeginDownload(url, file);
    if (completed < reads.size())
        loop.exec();
    QObject::disconnect(onComplete);
    QObject::disconnect(onError);
    return failed;
}

bool makeFiles(const QString &served)
{
    QFile big(served + QStringLiteral("/big.bin"));
    if (!big.open(QIODevice::WriteOnly) || !big.resize(bigSize))
        return false;
    QByteArray body(smallSize, Qt::Uninitialized);
    for (int i = 0; i < smallCount; ++i) {
        for (qint64 b = 0; b < smallSize; ++b)
            body[b] = static_cast<char>((b * 131 + i) % 251);
        QFile small(served + QStringLiteral("/s%1.bin").arg(i));
        if (!small.open(QIODevice::WriteOnly) || small.write(body) != smallSize)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    for (const char *name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY"})
        qunsetenv(name);
    QApplication app(argc, argv);

    QTemporaryDir work;
    const QString served = work.filePath(QStringLiteral("served"));
    const QString out = work.filePath(QStringLiteral("out"));
    if (!work.isValid() || !QDir().mkpath(served) || !QDir().mkpath(out) || !makeFiles(served)) {
        std::fprintf(stderr, "cannot create the test files\n");
        return 1;
    }
    NginxServer nginx(served);
    if (!nginx.start()) {
        std::fprintf(stderr, "nginx: %s\n", qPrintable(nginx.errorString()));
        return 1;
    }
    Downloader downloader;
    const QString bigUrl = nginx.url(QStringLiteral("/big.bin"));
    const QString bigOut = out + QStringLiteral("/big.bin");

    // One 1 GiB file, best of two runs each. The Downloader's time is split
    // at its last progress event: receiving, then committing the file (which
    // syncs it to disk; curl leaves it in the page cache).
    double curlBig = 1e9;
    double qtBig = 1e9;
    double qtReceived = 1e9;
    qint64 peakAboveIdleKiB = 0;
    int bigFailures = 0;
    for (int run = 0; run < 2; ++run) {
        // Each run starts with nothing left to write back from the one before.
        flushDisks();
        curlBig =
            std::min(curlBig, secondsOf([&] {
                         runCurl({QStringLiteral("-s"), QStringLiteral("-o"), bigOut, bigUrl});
                     }));
        QFile::remove(bigOut);
        flushDisks();
        const qint64 idleKiB = statusKiB(QStringLiteral("VmRSS"));
        resetPeakMemory();
        QElapsedTimer sinceStart;
        double received = 0;
        const auto onProgress = QObject::connect(&downloader, &Downloader::DownloadProgress,
                                                 [&](qint64 cur, qint64 max, const QString &) {
                                                     if (cur == max)
                                                         received = sinceStart.nsecsElapsed() / 1e9;
                                                 });
        sinceStart.start();
        qtBig = std::min(qtBig, secondsOf([&] {
                             bigFailures += downloadAll(downloader, {{bigUrl, bigOut}});
                         }));
        QObject::disconnect(onProgress);
        qtReceived = std::min(qtReceived, received);
        peakAboveIdleKiB = std::max(peakAboveIdleKiB, statusKiB(QStringLiteral("VmHWM")) - idleKiB);
        if (QFileInfo(bigOut).size() != bigSize)
            ++bigFailures;
        QFile::remove(bigOut);
    }
    const double mib = double(bigSize) / (1024 * 1024);
    std::printf("1 GiB file: curl %.2f s (%.0f MiB/s), Downloader %.2f s (%.0f MiB/s; all bytes "
                "received after %.2f s, the rest is the commit), throughput ratio %.2f "
                "(goal >= 0.8)%s\n",
                curlBig, mib / curlBig, qtBig, mib / qtBig, qtReceived, curlBig / qtBig,
                bigFailures ? " [DOWNLOADER FAILED]" : "");
    std::printf("peak resident memory of the 1 GiB download above idle: %.1f MiB (goal < 64 MiB)\n",
                peakAboveIdleKiB / 1024.0);

    // 1,000 files of 16 KiB started at once.
    QFile config(work.filePath(QStringLiteral("curl.cfg")));
    QList<std::pair<QString, QString>> reads;
    if (!config.open(QIODevice::WriteOnly | QIODevice::Text))
        return 1;
    for (int i = 0; i < smallCount; ++i) {
        const QString name = QStringLiteral("/s%1.bin").arg(i);
        config.write(QStringLiteral("url = \"%1\"\noutput = \"%2\"\n")
                         .arg(nginx.url(name), out + QStringLiteral("/curl") + name)
                         .toUtf8());
        reads.append({nginx.url(name), out + name});
    }
    config.close();
    QDir().mkpath(out + QStringLiteral("/curl"));
    flushDisks();
    const double curlSmall = secondsOf([&] {
        runCurl({QStringLiteral("-s"), QStringLiteral("--parallel"),
                 QStringLiteral("--parallel-max"), QString::number(connections),
                 QStringLiteral("-K"), config.fileName()});
    });
    int smallFailures = 0;
    flushDisks();
    const double qtSmall = secondsOf([&] { smallFailures = downloadAll(downloader, reads); });
    std::printf("%d files of 16 KiB at once, %d connections: curl --parallel %.3f s, "
                "Downloader %.3f s, wall-time ratio %.2f (goal <= 1.25)%s\n",
                smallCount, connections, curlSmall, qtSmall, qtSmall / curlSmall,
                smallFailures ? " [DOWNLOADER FAILED]" : "");
    return 0;
}
