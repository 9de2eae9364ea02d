// The file phase of a whole update, out of process: the built updater, run
// from a program folder of its own against nginx on loopback, beside curl
// fetching the same files six at a time into files. Prints the figures;
// asserts nothing.
//
// The file phase runs from the server's first file request (the start of the
// earliest request for /files/ in nginx's access log) until the update is
// recorded (init.ini's LastUpdate names the list's date); the greeting, the
// list and the check passes before it are left out. The updater does not end
// by itself: it is killed once the record is seen.
//
// curl runs with --parallel --parallel-max 6 from the same access log's first
// request to its exit ("curl"); then every file it wrote is flushed to the
// disk with fdatasync, one after another, in this process ("curl plus sync"),
// which is what the updater guarantees before it records the update. A
// second curl run of the same files is followed by one syncfs of the file
// system they lie on instead ("curl plus syncfs"): the least a program that
// puts many files on the disk can pay on Linux.
//
// Usage: bench_files [--runs N] [--pinned] [--updater PATH] [COUNTxSIZE ...], SIZE in
// bytes or with K, M (KiB, MiB). Default: 2000x16K 5000x4K 1x512M 1000x1
// 10000x1, 3 runs each, the updater built beside this bench.

#include "profile/modTypes.h"
#include "tests/support/NginxServer.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileSystemWatcher>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <unistd.h>
#include <vector>

namespace
{

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * KiB;
const QString ListDate = QStringLiteral("2026-12-07");
QString updaterBinary = QStringLiteral(UPDATER_BINARY);

struct Case {
    int count = 0;
    qint64 size = 0;
};

double now()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

QString fileName(int number)
{
    return QStringLiteral("f%1.bin").arg(number, 5, 10, QLatin1Char('0'));
}

QString saveFolder(int number)
{
    return QStringLiteral("data/s%1").arg(number % 10);
}

QString sizeText(qint64 size)
{
    if (size >= MiB && size % MiB == 0)
        return QStringLiteral("%1 MiB").arg(size / MiB);
    if (size >= KiB && size % KiB == 0)
        return QStringLiteral("%1 KiB").arg(size / KiB);
    return QStringLiteral("%1 B").arg(size);
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

bool writeSized(const QString &path, qint64 size, char fill)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray chunk(qMin(size, MiB), fill);
    for (qint64 left = size; left > 0; left -= chunk.size()) {
        const qint64 part = qMin<qint64>(left, chunk.size());
        if (file.write(chunk.constData(), part) != part)
            return false;
    }
    return true;
}

// With --pinned every file section carries "Size" and "SHA256", so the
// updater verifies each body as it arrives.
bool pinned = false;

bool makeServedFolder(const QString &root, const QString &base, const Case &c)
{
    QDir dir(root);
    if (!dir.mkpath(QStringLiteral("files")))
        return false;
    QString list = QStringLiteral("[GENERAL]\r\nTotalFiles=%1\r\nDate=%2\r\nTime=01:00\r\n")
                       .arg(c.count)
                       .arg(ListDate);
    for (int number = 1; number <= c.count; ++number) {
        if (!writeSized(dir.filePath(QStringLiteral("files/") + fileName(number)), c.size,
                        char('a' + number % 26)))
            return false;
        QString savePath = QStringLiteral("\\") + saveFolder(number);
        savePath.replace(u'/', u'\\');
        list += QStringLiteral("[FILE%1]\r\nURL=%2/files/%3\r\nSavePath=%4\r\nFileName=%3\r\n")
                    .arg(number)
                    .arg(base, fileName(number), savePath);
        if (pinned) {
            QFile served(dir.filePath(QStringLiteral("files/") + fileName(number)));
            QCryptographicHash sha256(QCryptographicHash::Sha256);
            if (!served.open(QIODevice::ReadOnly) || !sha256.addData(&served))
                return false;
            list += QStringLiteral("Size=%1\r\nSHA256=%2\r\n")
                        .arg(c.size)
                        .arg(QString::fromLatin1(sha256.result().toHex()));
        }
    }
    return writeFile(dir.filePath(QStringLiteral("updates.txt")), list.toUtf8()) &&
           writeFile(dir.filePath(QStringLiteral("hello.txt")), "Benchmark server");
}

// The access log read from a given offset on: the start of the earliest
// request for a file, in seconds since 1970.
class AccessLog
{
public:
    explicit AccessLog(QString path) : m_path(std::move(path)) {}

    void Mark() { m_from = QFile(m_path).size(); }

    std::optional<double> firstFileRequest() const
    {
        QFile log(m_path);
        if (!log.open(QIODevice::ReadOnly) || !log.seek(m_from))
            return std::nullopt;
        std::optional<double> first;
        while (!log.atEnd()) {
            const QList<QByteArray> fields = log.readLine().trimmed().split(' ');
            if (fields.size() < 3 || !fields[2].startsWith("/files/"))
                continue;
            const double start = fields[0].toDouble() - fields[1].toDouble();
            if (!first || start < *first)
                first = start;
        }
        return first;
    }

private:
    QString m_path;
    qint64 m_from = 0;
};

struct CurlRun {
    double plain = -1;
    double synced = -1;
};

// With `oneSyncfs`, the files are flushed by one syncfs; otherwise one fdatasync each.
CurlRun timeCurl(const QString &base, const Case &c, AccessLog &log, bool oneSyncfs)
{
    CurlRun run;
    QTemporaryDir target;
    QString config;
    QStringList outputs;
    for (int number = 1; number <= c.count; ++number) {
        outputs << target.filePath(saveFolder(number) + QLatin1Char('/') + fileName(number));
        config += QStringLiteral("url = \"%1/files/%2\"\noutput = \"%3\"\n")
                      .arg(base, fileName(number), outputs.back());
    }
    const QString configPath = target.filePath(QStringLiteral("curl.cfg"));
    if (!writeFile(configPath, config.toUtf8()))
        return run;
    log.Mark();
    QProcess curl;
    curl.start(QStringLiteral("curl"),
               {QStringLiteral("--parallel"), QStringLiteral("--parallel-max"), QStringLiteral("6"),
                QStringLiteral("--create-dirs"), QStringLiteral("-s"), QStringLiteral("-f"),
                QStringLiteral("-K"), configPath});
    if (!curl.waitForFinished(-1) || curl.exitStatus() != QProcess::NormalExit ||
        curl.exitCode() != 0) {
        std::fprintf(stderr, "curl failed: %s\n", curl.readAllStandardError().constData());
        return run;
    }
    const double exited = now();
    if (oneSyncfs) {
        const int fd = ::open(QFile::encodeName(outputs.front()).constData(), O_RDONLY | O_CLOEXEC);
        const bool synced = fd >= 0 && ::syncfs(fd) == 0;
        if (fd >= 0)
            ::close(fd);
        if (!synced) {
            std::fprintf(stderr, "cannot syncfs %s\n", qPrintable(outputs.front()));
            return run;
        }
        outputs.clear();
    }
    for (const QString &output : outputs) {
        const int fd = ::open(QFile::encodeName(output).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::fdatasync(fd) != 0) {
            std::fprintf(stderr, "cannot sync %s\n", qPrintable(output));
            if (fd >= 0)
                ::close(fd);
            return run;
        }
        ::close(fd);
    }
    const double synced = now();
    const std::optional<double> first = log.firstFileRequest();
    if (!first)
        return run;
    run.plain = exited - *first;
    run.synced = synced - *first;
    return run;
}

qint64 statusKiB(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray name = QByteArray(field) + ':';
    // Read whole: a file of /proc reports no size, so atEnd() would hold at once.
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(name))
            return line.mid(name.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Processor time (user and system) the process has used so far, in seconds.
double processorSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // The fields after the command name, which is in parentheses: utime and
    // stime are the 12th and 13th of them.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

struct UpdaterRun {
    double phase = -1;
    double processor = -1;
    qint64 peakAboveIdleKiB = -1;
};

UpdaterRun timeUpdater(const QString &base, AccessLog &log)
{
    UpdaterRun run;
    QTemporaryDir program;
    const QString updates = program.filePath(QStringLiteral("updates"));
    const QString initIni = updates + QStringLiteral("/init.ini");
    const QString binary = program.filePath(QStringLiteral("updater"));
    if (!QDir().mkpath(updates) ||
        !writeFile(initIni, QStringLiteral("[GENERAL]\r\nHello=%1/hello.txt\r\nUpdateFileURL=%1\r\n"
                                           "LastUpdate=\r\nLastUpdateTime=\r\n")
                                .arg(base)
                                .toUtf8()) ||
        !QFile::copy(updaterBinary, binary)) {
        std::fprintf(stderr, "cannot lay out the program folder\n");
        return run;
    }

    log.Mark();
    QProcess updater;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    updater.setProcessEnvironment(environment);
    updater.setWorkingDirectory(program.path());
    updater.setStandardOutputFile(QProcess::nullDevice());
    updater.setStandardErrorFile(QProcess::nullDevice());
    updater.start(binary, {});
    if (!updater.waitForStarted()) {
        std::fprintf(stderr, "updater did not start\n");
        return run;
    }
    const qint64 pid = updater.processId();

    // The record is seen as soon as the profile is replaced; the timer also
    // takes the resident memory at the start of the file phase.
    QEventLoop loop;
    std::optional<double> recorded;
    qint64 idleKiB = -1;
    qint64 peakKiB = -1;
    double processor = -1;
    const auto look = [&] {
        if (!recorded &&
            ReadIni(initIni, QStringLiteral("GENERAL"), QStringLiteral("LastUpdate")) == ListDate) {
            recorded = now();
            peakKiB = statusKiB(pid, "VmHWM");
            processor = processorSeconds(pid);
            loop.quit();
        }
    };
    QFileSystemWatcher watcher({updates});
    QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, look);
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        if (idleKiB < 0 && log.firstFileRequest())
            idleKiB = statusKiB(pid, "VmRSS");
        look();
    });
    sampler.start(20);
    QObject::connect(&updater, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(600000, &loop, &QEventLoop::quit);
    loop.exec();

    const bool ended = updater.state() == QProcess::NotRunning;
    updater.kill();
    updater.waitForFinished();
    const std::optional<double> first = log.firstFileRequest();
    if (!recorded || !first) {
        std::fprintf(stderr, "updater %s before recording the update\n",
                     ended ? "ended" : "timed out");
        return run;
    }
    run.phase = *recorded - *first;
    run.processor = processor;
    if (idleKiB >= 0 && peakKiB >= 0)
        run.peakAboveIdleKiB = peakKiB - idleKiB;
    return run;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QString Figures(const std::vector<double> &values)
{
    QStringList texts;
    for (const double value : values)
        texts << QString::number(value, 'f', 3);
    return texts.join(QStringLiteral(" "));
}

std::optional<Case> parseCase(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^(\\d+)x(\\d+)([KkMm]?)$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const QString unit = match.captured(3).toUpper();
    const qint64 scale = unit == QLatin1String("M") ? MiB : unit == QLatin1String("K") ? KiB : 1;
    Case c{match.captured(1).toInt(), match.captured(2).toLongLong() * scale};
    if (c.count < 1 || c.size < 1)
        return std::nullopt;
    return c;
}

bool RunCase(const Case &c, int runs)
{
    QTemporaryDir served;
    QTemporaryDir logs;
    NginxServer nginx(served.path());
    const QString logPath = logs.filePath(QStringLiteral("access.log"));
    nginx.setAccessLog(logPath);
    if (!nginx.start()) {
        std::fprintf(stderr, "nginx: %s\n", qPrintable(nginx.errorString()));
        return false;
    }
    const QString base = nginx.url(QString());
    if (!makeServedFolder(served.path(), base, c)) {
        std::fprintf(stderr, "cannot lay out the served folder\n");
        return false;
    }
    ::sync(); // the served files' own write-back stays out of the runs

    AccessLog log(logPath);
    std::vector<double> updater, curl, synced, syncfs, memory, processor;
    for (int run = 0; run < runs; ++run) {
        const CurlRun curlRun = timeCurl(base, c, log, false);
        const CurlRun syncfsRun = timeCurl(base, c, log, true);
        const UpdaterRun updaterRun = timeUpdater(base, log);
        if (curlRun.plain < 0 || syncfsRun.plain < 0 || updaterRun.phase < 0)
            return false;
        syncfs.push_back(syncfsRun.synced);
        curl.push_back(curlRun.plain);
        synced.push_back(curlRun.synced);
        updater.push_back(updaterRun.phase);
        processor.push_back(updaterRun.processor);
        memory.push_back(
            updaterRun.peakAboveIdleKiB < 0 ? -1 : double(updaterRun.peakAboveIdleKiB) / 1024.0);
    }

    const double u = median(updater), p = median(curl), s = median(synced), f = median(syncfs);
    std::printf("%d x %s: file phase, median of %d\n", c.count, qPrintable(sizeText(c.size)), runs);
    std::printf("  updater         %8.3f s   runs: %s\n", u, qPrintable(Figures(updater)));
    std::printf("  curl plus sync  %8.3f s   runs: %s\n", s, qPrintable(Figures(synced)));
    std::printf("  curl plus syncfs%8.3f s   runs: %s\n", f, qPrintable(Figures(syncfs)));
    std::printf("  curl            %8.3f s   runs: %s\n", p, qPrintable(Figures(curl)));
    std::printf("  updater processor time, whole run to the record: %.3f s   runs: %s\n",
                median(processor), qPrintable(Figures(processor)));
    std::printf(
        "  ratio updater / curl plus syncfs %.2fx (goal: 1.3x or less), updater / curl plus "
        "sync %.2fx, updater / curl %.2fx\n",
        u / f, u / s, u / p);
    if (c.count >= 1000)
        std::printf("  per file: updater %.3f ms, curl plus sync %.3f ms, curl %.3f ms\n",
                    u * 1000 / c.count, s * 1000 / c.count, p * 1000 / c.count);
    // The resident size at the start of the file phase is sampled every
    // 20 ms; a phase shorter than that may have none.
    QStringList memoryTexts;
    double largest = -1;
    for (const double mib : memory) {
        memoryTexts << (mib < 0 ? QStringLiteral("n/a") : QString::number(mib, 'f', 1));
        largest = qMax(largest, mib);
    }
    std::printf("  updater peak resident above idle: %s MiB (largest run), runs: %s\n",
                largest < 0 ? "n/a" : qPrintable(QString::number(largest, 'f', 1)),
                qPrintable(memoryTexts.join(QStringLiteral(" "))));
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    int runs = 3;
    std::vector<Case> cases;
    for (int i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--runs") && i + 1 < arguments.size()) {
            runs = qMax(1, arguments[++i].toInt());
        } else if (arguments[i] == QLatin1String("--pinned")) {
            pinned = true;
        } else if (arguments[i] == QLatin1String("--updater") && i + 1 < arguments.size()) {
            updaterBinary = arguments[++i];
        } else if (const std::optional<Case> c = parseCase(arguments[i])) {
            cases.push_back(*c);
        } else {
            std::fprintf(stderr, "usage: bench_files [--runs N] [--pinned] [--updater PATH] "
                                 "[COUNTxSIZE[K|M] ...]\n");
            return 2;
        }
    }
    if (cases.empty())
        cases = {{2000, 16 * KiB}, {5000, 4 * KiB}, {1, 512 * MiB}, {1000, 1}, {10000, 1}};
    if (QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty()) {
        std::fprintf(stderr, "curl not found\n");
        return 1;
    }

    std::printf("bench_files: updater %s against nginx on loopback, beside curl --parallel "
                "--parallel-max 6; curl plus sync = curl, then fdatasync of each of its files; "
                "curl plus syncfs = curl, then one syncfs\n",
                qPrintable(updaterBinary));
    bool ok = true;
    for (const Case &c : cases)
        ok = RunCase(c, runs) && ok;
    return ok ? 0 : 1;
}
