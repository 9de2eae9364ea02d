// What an update costs when little of a large game changed, out of process:
// the built updater, from a program folder of its own, against nginx on
// loopback. It installs a game of many pinned files, then runs an update that
// changes one file, once with the state cache it kept and once with
// updates/state.cache removed. Each of those two runs starts with the game's
// files dropped from the page cache (fdatasync, then posix_fadvise
// DONTNEED per file), so that /proc/<pid>/io read_bytes counts what the run
// read from the disk; rchar (every byte read(), sockets included) is shown
// beside it. Last, `updater --verify` hashes the whole game, timed against one
// sha256sum over the same files, both with a warm page cache. Run times go
// from the process's start to the record (init.ini's LastUpdate naming the
// list's date); the updater does not end by itself and is killed then.
// Prints the figures; asserts nothing.
//
// Usage: bench_scale [--files N] [--mib M] [--updater PATH]; default 2000
// files, 500 MiB in all.

#include "profile/modTypes.h"
#include "tests/support/NginxServer.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace
{

constexpr qint64 MiB = 1024 * 1024;
QString updaterBinary = QStringLiteral(UPDATER_BINARY);

QString fileName(int number)
{
    return QStringLiteral("f%1.bin").arg(number, 5, 10, QLatin1Char('0'));
}

QString saveFolder(int number)
{
    return QStringLiteral("data/s%1").arg(number % 20);
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Distinct bytes per file and per version, so that no two share a digest.
QByteArray content(int number, qint64 size, int version)
{
    QByteArray bytes(size, char('a' + (number + version) % 26));
    const QByteArray head = QStringLiteral("%1 v%2\n").arg(number).arg(version).toLatin1();
    bytes.replace(0, qMin<qint64>(head.size(), size), head.left(size));
    return bytes;
}

struct Game {
    QString served;
    QString base;
    int count = 0;
    qint64 size = 0;
    QList<QByteArray> digests; // per file, hex
};

// Serves every file at version 0 except `changed`, at `version`, under a list of `date`.
bool serve(Game &game, int changed, int version, const QString &date)
{
    QDir dir(game.served);
    if (!dir.mkpath(QStringLiteral("files")))
        return false;
    QString list = QStringLiteral("[GENERAL]\r\nTotalFiles=%1\r\nDate=%2\r\nTime=01:00\r\n")
                       .arg(game.count)
                       .arg(date);
    game.digests.resize(game.count + 1);
    for (int number = 1; number <= game.count; ++number) {
        if (game.digests[number].isEmpty() || number == changed) {
            const QByteArray bytes = content(number, game.size, number == changed ? version : 0);
            if (!writeFile(dir.filePath(QStringLiteral("files/") + fileName(number)), bytes))
                return false;
            game.digests[number] =
                QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
        }
        QString savePath = QStringLiteral("\\") + saveFolder(number);
        savePath.replace(u'/', u'\\');
        list += QStringLiteral("[FILE%1]\r\nURL=%2/files/%3\r\nSavePath=%4\r\nFileName=%3\r\n"
                               "Size=%5\r\nSHA256=%6\r\n")
                    .arg(number)
                    .arg(game.base, fileName(number), savePath)
                    .arg(game.size)
                    .arg(QString::fromLatin1(game.digests[number]));
    }
    return writeFile(dir.filePath(QStringLiteral("updates.txt")), list.toUtf8()) &&
           writeFile(dir.filePath(QStringLiteral("hello.txt")), "Benchmark server");
}

QStringList gameFiles(const QString &program, int count)
{
    QStringList files;
    for (int number = 1; number <= count; ++number)
        files << program + QLatin1Char('/') + saveFolder(number) + QLatin1Char('/') +
                     fileName(number);
    return files;
}

// Puts the files on the disk and drops them from the page cache, so that a
// later read of them is a read from the disk.
bool dropFromCache(const QStringList &files)
{
    for (const QString &file : files) {
        const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "cannot open %s\n", qPrintable(file));
            return false;
        }
        const bool dropped =
            ::fdatasync(fd) == 0 && ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
        ::close(fd);
        if (!dropped) {
            std::fprintf(stderr, "cannot drop %s from the page cache\n", qPrintable(file));
            return false;
        }
    }
    return true;
}

struct Io {
    qint64 readBytes = -1;
    qint64 rchar = -1;
};

Io ioOf(qint64 pid)
{
    Io io;
    QFile file(QStringLiteral("/proc/%1/io").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return io;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> parts = line.split(':');
        if (parts.size() != 2)
            continue;
        if (parts[0] == "read_bytes")
            io.readBytes = parts[1].trimmed().toLongLong();
        else if (parts[0] == "rchar")
            io.rchar = parts[1].trimmed().toLongLong();
    }
    return io;
}

struct Run {
    double seconds = -1;
    Io io;
};

// Runs the updater in `program` until it records `date`.
Run runUpdater(const QString &program, const QString &date, const QStringList &arguments)
{
    Run run;
    const QString updates = program + QStringLiteral("/updates");
    const QString initIni = updates + QStringLiteral("/init.ini");
    QProcess updater;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    updater.setProcessEnvironment(environment);
    updater.setWorkingDirectory(program);
    updater.setStandardOutputFile(QProcess::nullDevice());
    updater.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    updater.start(program + QStringLiteral("/updater"), arguments);
    if (!updater.waitForStarted()) {
        std::fprintf(stderr, "updater did not start\n");
        return run;
    }
    const qint64 pid = updater.processId();
    QEventLoop loop;
    // The state cache is saved just after the record: the updater is killed
    // only once it is, so that the next run has it.
    const QString stateCache = updates + QStringLiteral("/state.cache");
    const QDateTime started = QDateTime::currentDateTime().addSecs(-1);
    const auto look = [&] {
        if (run.seconds < 0 &&
            ReadIni(initIni, QStringLiteral("GENERAL"), QStringLiteral("LastUpdate")) == date) {
            run.seconds = clock.elapsed() / 1000.0;
            run.io = ioOf(pid);
        }
        if (run.seconds >= 0 && QFileInfo(stateCache).lastModified() > started)
            loop.quit();
    };
    QFileSystemWatcher watcher({updates});
    QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, look);
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, look);
    sampler.start(20);
    QObject::connect(&updater, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(900000, &loop, &QEventLoop::quit);
    loop.exec();
    updater.kill();
    updater.waitForFinished();
    if (run.seconds < 0)
        std::fprintf(stderr, "updater ended or timed out before recording %s\n", qPrintable(date));
    return run;
}

void printRun(const char *what, const Run &run, qint64 gameBytes)
{
    std::printf("  %-34s %8.3f s   read_bytes %12lld (%6.2f%% of the game)   rchar %12lld\n", what,
                run.seconds, static_cast<long long>(run.io.readBytes),
                100.0 * double(run.io.readBytes) / double(gameBytes),
                static_cast<long long>(run.io.rchar));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    int count = 2000;
    qint64 mib = 500;
    for (int i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--files") && i + 1 < arguments.size())
            count = qMax(1, arguments[++i].toInt());
        else if (arguments[i] == QLatin1String("--mib") && i + 1 < arguments.size())
            mib = qMax<qint64>(1, arguments[++i].toLongLong());
        else if (arguments[i] == QLatin1String("--updater") && i + 1 < arguments.size())
            updaterBinary = arguments[++i];
        else {
            std::fprintf(stderr, "usage: bench_scale [--files N] [--mib M] [--updater PATH]\n");
            return 2;
        }
    }

    QTemporaryDir served, program;
    NginxServer nginx(served.path());
    if (!nginx.start()) {
        std::fprintf(stderr, "nginx: %s\n", qPrintable(nginx.errorString()));
        return 1;
    }
    Game game{served.path(), nginx.url(QString()), count, qMax<qint64>(1, mib * MiB / count), {}};
    const qint64 gameBytes = game.size * count;
    if (!QDir(program.path()).mkpath(QStringLiteral("updates")) ||
        !writeFile(program.filePath(QStringLiteral("updates/init.ini")),
                   QStringLiteral("[GENERAL]\r\nHello=%1/hello.txt\r\nUpdateFileURL=%1\r\n"
                                  "LastUpdate=\r\nLastUpdateTime=\r\n")
                       .arg(game.base)
                       .toUtf8()) ||
        !QFile::copy(updaterBinary, program.filePath(QStringLiteral("updater"))) ||
        !serve(game, 0, 0, QStringLiteral("2026-12-01"))) {
        std::fprintf(stderr, "cannot lay out the folders\n");
        return 1;
    }
    ::sync(); // the served files' own write-back stays out of the runs
    const QStringList files = gameFiles(program.path(), count);
    std::printf("bench_scale: %d files of %lld bytes (%.0f MiB), updater %s, nginx on loopback\n",
                count, static_cast<long long>(game.size), double(gameBytes) / MiB,
                qPrintable(updaterBinary));

    const Run install = runUpdater(program.path(), QStringLiteral("2026-12-01"), {});
    if (install.seconds < 0)
        return 1;
    std::printf("  %-34s %8.3f s\n", "install", install.seconds);

    // One file changes; the page cache holds none of the game.
    if (!serve(game, 1, 1, QStringLiteral("2026-12-02")) || !dropFromCache(files)) {
        std::fprintf(stderr, "cannot change a file or drop the game from the page cache\n");
        return 1;
    }
    const Run cached = runUpdater(program.path(), QStringLiteral("2026-12-02"), {});
    // It changes again; this time the state cache is gone.
    if (!serve(game, 1, 2, QStringLiteral("2026-12-03")) ||
        !QFile::remove(program.filePath(QStringLiteral("updates/state.cache"))) ||
        !dropFromCache(files)) {
        std::fprintf(stderr, "cannot change a file, remove the state cache or drop the game "
                             "from the page cache\n");
        return 1;
    }
    const Run uncached = runUpdater(program.path(), QStringLiteral("2026-12-03"), {});
    if (cached.seconds < 0 || uncached.seconds < 0)
        return 1;
    printRun("one file changed, state cache", cached, gameBytes);
    printRun("one file changed, no state cache", uncached, gameBytes);
    std::printf("  goal: the run with the state cache reads 2%% of the game or less\n");

    // --verify under a new list date, so that its end shows in the record;
    // the same files, so nothing is fetched. sha256sum runs first and warms
    // the page cache for both.
    if (!serve(game, 1, 2, QStringLiteral("2026-12-04")))
        return 1;
    QProcess sha256sum;
    sha256sum.setStandardOutputFile(QProcess::nullDevice());
    sha256sum.start(QStringLiteral("sha256sum"), files);
    if (!sha256sum.waitForFinished(-1) || sha256sum.exitCode() != 0)
        return 1;
    QElapsedTimer clock;
    clock.start();
    sha256sum.start(QStringLiteral("sha256sum"), files);
    if (!sha256sum.waitForFinished(-1) || sha256sum.exitCode() != 0)
        return 1;
    const double sumSeconds = clock.elapsed() / 1000.0;
    const Run verify =
        runUpdater(program.path(), QStringLiteral("2026-12-04"), {QStringLiteral("--verify")});
    if (verify.seconds < 0)
        return 1;
    std::printf("  %-34s %8.3f s (%d threads)\n", "updater --verify, warm cache", verify.seconds,
                QThread::idealThreadCount());
    std::printf("  %-34s %8.3f s (one process)\n", "sha256sum, warm cache", sumSeconds);
    std::printf("  ratio --verify / sha256sum %.2fx (goal: 1.0x or less)\n",
                verify.seconds / sumSeconds);
    return 0;
}
