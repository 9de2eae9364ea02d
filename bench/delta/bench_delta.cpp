// What a delta update costs, out of process: the built updater-pack lays out
// a server folder for version 1 and then version 2 of a game of one large
// file (version 2: 1000 bytes inserted near the start and 1% rewritten in
// one place), nginx serves it on loopback, and the built updater, from a
// program folder holding version 1, brings it to version 2. Each update runs
// three times with chunk indexes (delta) and three times from a list without
// them (whole file), at full loopback speed and with nginx's limit_rate at
// 12.5 MB/s (a 100 Mbit/s line); the medians are printed with the body bytes
// nginx sent (its $body_bytes_sent) and the updater's peak memory (VmHWM)
// beside that of a run with nothing to fetch. Last, the search of the local
// copy for the new version's chunks, in process, against one sha256sum of
// the same file, both with a warm page cache. Prints; asserts nothing.
//
// Usage: bench_delta [--mib M] [--runs N] [--full-speed-only]; default 256 MiB, 3
// runs, both speeds.

#include "format/ChunkIndex.h"
#include "profile/modTypes.h"
#include "tests/support/NginxServer.h"
#include "update/LocalChunks.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace
{

constexpr qint64 MiB = 1024 * 1024;
const QString Placeholder = QStringLiteral("http://placeholder.invalid");

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, arguments);
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

qint64 peakMemory(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    return -1;
}

struct Run {
    double seconds = -1;
    qint64 peak = -1;
};

// Runs the updater in `program` until init.ini records `date`.
Run runUpdater(const QString &program, const QString &date)
{
    Run result;
    const QString initIni = program + QStringLiteral("/updates/init.ini");
    QProcess updater;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    updater.setProcessEnvironment(environment);
    updater.setWorkingDirectory(program);
    updater.setStandardOutputFile(QProcess::nullDevice());
    updater.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    updater.start(program + QStringLiteral("/updater"), {});
    if (!updater.waitForStarted())
        return result;
    QEventLoop loop;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        if (ReadIni(initIni, QStringLiteral("GENERAL"), QStringLiteral("LastUpdate")) == date) {
            result.seconds = clock.elapsed() / 1000.0;
            result.peak = peakMemory(updater.processId());
            loop.quit();
        }
    });
    sampler.start(10);
    QObject::connect(&updater, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(900000, &loop, &QEventLoop::quit);
    loop.exec();
    updater.kill();
    updater.waitForFinished();
    return result;
}

// The body bytes nginx sent since the log was last read.
qint64 sentSince(const QString &log, qint64 &offset)
{
    QFile file(log);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
        return -1;
    qint64 sent = 0;
    while (!file.atEnd())
        sent += file.readLine().trimmed().split(' ').value(4).toLongLong();
    offset = file.pos();
    return sent;
}

struct Figures {
    double seconds = -1;
    qint64 sent = -1;
    qint64 peak = -1;
};

// `runs` updates from version 1 to the served list, each in a fresh program
// folder; the medians.
Figures update(const QString &served, QByteArray list, const QString &directives,
               const QByteArray &installed, const QByteArray &wanted, const QString &listName,
               int runs)
{
    NginxServer nginx(served);
    const QString log = served + QStringLiteral("/../access.log");
    nginx.setAccessLog(log);
    nginx.addDirectives(directives);
    if (!nginx.start()) {
        std::fprintf(stderr, "nginx: %s\n", qPrintable(nginx.errorString()));
        return {};
    }
    list.replace(Placeholder.toUtf8(), nginx.url(QString()).toUtf8());
    if (!writeFile(served + listName + QStringLiteral("/updates.txt"), list) ||
        !writeFile(served + QStringLiteral("/hello.txt"), "Benchmark server") ||
        !run(QStringLiteral("chmod"), {QStringLiteral("-R"), QStringLiteral("a+rX"), served})) {
        std::fprintf(stderr, "cannot write the list\n");
        return {};
    }
    qint64 offset = QFileInfo(log).size();
    QList<double> seconds;
    QList<qint64> sent, peaks;
    for (int n = 0; n < runs; ++n) {
        QTemporaryDir program;
        if (!QDir(program.path()).mkpath(QStringLiteral("updates")) ||
            !writeFile(program.filePath(QStringLiteral("updates/init.ini")),
                       QStringLiteral("[GENERAL]\r\nHello=%1/hello.txt\r\nUpdateFileURL=%2\r\n")
                           .arg(nginx.url(QString()), nginx.url(QString()) + listName)
                           .toUtf8()) ||
            (!installed.isNull() &&
             !writeFile(program.filePath(QStringLiteral("big.pak")), installed)) ||
            !QFile::copy(QStringLiteral(UPDATER_BINARY),
                         program.filePath(QStringLiteral("updater")))) {
            std::fprintf(stderr, "cannot lay out a program folder\n");
            return {};
        }
        ::sync();
        sentSince(log, offset);
        const Run one = runUpdater(program.path(), QStringLiteral("2026-12-02"));
        QFile result(program.filePath(QStringLiteral("big.pak")));
        QCryptographicHash digest(QCryptographicHash::Sha256);
        if (one.seconds < 0 || !result.open(QIODevice::ReadOnly) || !digest.addData(&result) ||
            digest.result() != wanted) {
            std::fprintf(stderr, "the update did not install\n");
            return {};
        }
        seconds.append(one.seconds);
        peaks.append(one.peak);
        sent.append(sentSince(log, offset));
    }
    std::sort(seconds.begin(), seconds.end());
    std::sort(sent.begin(), sent.end());
    std::sort(peaks.begin(), peaks.end());
    return {seconds[runs / 2], sent[runs / 2], peaks[runs / 2]};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    qint64 mib = 256;
    int runs = 3;
    bool limited = true;
    for (int i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--mib") && i + 1 < arguments.size())
            mib = qMax<qint64>(2, arguments[++i].toLongLong());
        else if (arguments[i] == QLatin1String("--runs") && i + 1 < arguments.size())
            runs = qMax(1, arguments[++i].toInt());
        else if (arguments[i] == QLatin1String("--full-speed-only"))
            limited = false;
        else {
            std::fprintf(stderr, "usage: bench_delta [--mib M] [--runs N] [--full-speed-only]\n");
            return 2;
        }
    }
    const qint64 size = mib * MiB;
    QTemporaryDir work;
    const QString root = work.path();
    // Random bytes, as a pack of compressed assets looks; version 2 inserts
    // 1000 bytes near the start and rewrites 1% in the middle.
    QByteArray version1(size, Qt::Uninitialized);
    QRandomGenerator random(20261207);
    random.fillRange(reinterpret_cast<quint32 *>(version1.data()), size / 4);
    QByteArray version2 = version1;
    QByteArray inserted(1000, Qt::Uninitialized), rewritten(size / 100, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint32 *>(inserted.data()), inserted.size() / 4);
    random.fillRange(reinterpret_cast<quint32 *>(rewritten.data()), rewritten.size() / 4);
    version2.replace(size / 2, rewritten.size(), rewritten);
    version2.insert(4096, inserted);
    const qint64 changed = inserted.size() + rewritten.size();

    const QString served = root + QStringLiteral("/www");
    if (!QDir().mkpath(root + QStringLiteral("/v1")) ||
        !QDir().mkpath(root + QStringLiteral("/v2")) || !QDir().mkpath(served) ||
        !writeFile(root + QStringLiteral("/v1/big.pak"), version1) ||
        !writeFile(root + QStringLiteral("/v2/big.pak"), version2)) {
        std::fprintf(stderr, "cannot write the versions\n");
        return 1;
    }
    std::printf("bench_delta: a %lld MiB file, %lld bytes changed (1000 inserted at 4096, 1%% "
                "rewritten), %d runs each, medians\n",
                static_cast<long long>(mib), static_cast<long long>(changed), runs);

    // nginx takes a new port each time it starts: the lists are built for a
    // placeholder address, and each nginx serves them with its own put in.
    if (!run(QStringLiteral(UPDATER_PACK),
             {QStringLiteral("build"), root + QStringLiteral("/v2"),
              served + QStringLiteral("/srv"), QStringLiteral("--url"),
              Placeholder + QStringLiteral("/srv"), QStringLiteral("--date"),
              QStringLiteral("2026-12-02")})) {
        std::fprintf(stderr, "updater-pack build failed\n");
        return 1;
    }
    const QByteArray list = readFile(served + QStringLiteral("/srv/updates.txt"));
    if (!list.contains("ChunksURL=")) {
        std::fprintf(stderr, "the list names no chunk index\n");
        return 1;
    }
    // The same list without the chunk indexes: the file travels whole.
    QByteArray wholeList;
    for (const QByteArray &line : list.split('\n'))
        if (!line.startsWith("Chunks"))
            wholeList += line + '\n';
    wholeList.chop(1);
    if (!QDir().mkpath(served + QStringLiteral("/whole")) ||
        !run(QStringLiteral("chmod"), {QStringLiteral("-R"), QStringLiteral("a+rX"), root})) {
        std::fprintf(stderr, "cannot lay out the server folder\n");
        return 1;
    }
    const QByteArray wanted = QCryptographicHash::hash(version2, QCryptographicHash::Sha256);
    const auto figures = [&](const QByteArray &servedList, const QString &listName,
                             const QString &directives) {
        return update(served, servedList, directives, version1, wanted, listName, runs);
    };
    // A fresh install: the whole file and its index, no more.
    const Figures fresh = update(served, list, {}, QByteArray(), wanted, QStringLiteral("/srv"), 1);
    std::printf("  fresh install: sent %lld bytes, %.3f%% above the file's size (goal <= 5%%)\n",
                static_cast<long long>(fresh.sent),
                100.0 * double(fresh.sent - version2.size()) / double(version2.size()));
    // Nothing to fetch: the memory the updater takes for the run itself.
    const Figures idle = update(served, list, {}, version2, wanted, QStringLiteral("/srv"), 1);
    std::printf("  idle (version 2 installed)                peak memory %6.1f MiB\n",
                double(idle.peak) / MiB);
    QStringList rates = {QString()};
    if (limited)
        rates.append(QStringLiteral("limit_rate 12500000;"));
    for (const QString &rate : std::as_const(rates)) {
        const Figures delta = figures(list, QStringLiteral("/srv"), rate);
        const Figures whole = figures(wholeList, QStringLiteral("/whole"), rate);
        std::printf("  %s\n",
                    rate.isEmpty() ? "full loopback speed" : "nginx limit_rate 12.5 MB/s");
        std::printf("    delta  %8.3f s   sent %11lld bytes (%5.2f%% of the file, %.2fx the "
                    "changed bytes)   peak memory %6.1f MiB\n",
                    delta.seconds, static_cast<long long>(delta.sent),
                    100.0 * double(delta.sent) / double(size), double(delta.sent) / double(changed),
                    double(delta.peak) / MiB);
        std::printf("    whole  %8.3f s   sent %11lld bytes                                      "
                    "          peak memory %6.1f MiB\n",
                    whole.seconds, static_cast<long long>(whole.sent), double(whole.peak) / MiB);
        std::printf("    delta / whole time %.3f\n", delta.seconds / whole.seconds);
    }
    std::printf("  goals: sent <= 2%% of the file (moonshot <= 1.1x changed + 0.1%% of the size); "
                "delta <= 10%% of whole at 12.5 MB/s\n");

    // The search of the local copy, against sha256sum, both warm.
    const QString pack = root + QStringLiteral("/v1/big.pak");
    const std::optional<QList<ChunkIndex::Chunk>> chunks = [&] {
        QFile file(root + QStringLiteral("/v2/big.pak"));
        file.open(QIODevice::ReadOnly);
        return std::optional(ChunkIndex::chunkFile(file).chunks);
    }();
    run(QStringLiteral("sha256sum"), {pack});
    QElapsedTimer clock;
    clock.start();
    run(QStringLiteral("sha256sum"), {pack});
    const double sumSeconds = clock.elapsed() / 1000.0;
    std::atomic_bool stop = false;
    clock.restart();
    const auto held =
        LocalChunks::gather(root + QStringLiteral("/work"), version2.size(), *chunks, {pack}, stop);
    const double gatherSeconds = clock.elapsed() / 1000.0;
    const qsizetype found = held ? std::count(held->cbegin(), held->cend(), true) : -1;
    std::printf("  local search %.3f s (%lld of %lld chunks found), sha256sum %.3f s: %.2fx "
                "sha256sum's speed (goal >= 0.8x)\n",
                gatherSeconds, static_cast<long long>(found),
                static_cast<long long>(chunks->size()), sumSeconds, sumSeconds / gatherSeconds);
    return 0;
}
