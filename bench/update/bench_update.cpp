// A whole update of 200 files from nginx on loopback, from the start of the
// run to Done enabled, beside curl fetching the same files six at a time.
// Prints the figures; asserts nothing.

#include "app/ModalBox.h"
#include "app/frmUpdate.h"
#include "tests/support/NginxServer.h"
#include "update/ProgramFolder.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

namespace
{

constexpr int fileCount = 200;
constexpr qint64 MiB = 1024 * 1024;

qint64 sizeOf(int number)
{
    if (number == 1)
        return 100 * MiB;
    if (number % 10 == 0)
        return MiB;
    return 4096 + number * 37;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

bool makeServedFolder(const QString &root, const QString &base)
{
    QDir dir(root);
    if (!dir.mkpath(QStringLiteral("files")))
        return false;
    QString list =
        QStringLiteral("[GENERAL]\nTotalFiles=%1\nDate=2026-12-01\nTime=18:30\n").arg(fileCount);
    for (int number = 1; number <= fileCount; ++number) {
        const QString name = QStringLiteral("f%1.bin").arg(number, 3, 10, QLatin1Char('0'));
        if (!writeFile(dir.filePath(QStringLiteral("files/") + name),
                       QByteArray(sizeOf(number), char('a' + number % 26))))
            return false;
        list += QStringLiteral("[FILE%1]\nURL=%2/files/%3\nSavePath=\\data\\s%4\nFileName=%3\n")
                    .arg(number)
                    .arg(base, name)
                    .arg(number % 10);
    }
    return writeFile(dir.filePath(QStringLiteral("updates.txt")), list.toUtf8()) &&
           writeFile(dir.filePath(QStringLiteral("hello.txt")), "Benchmark server");
}

// Seconds from the start of the run to Done enabled; negative on failure.
double timeUpdater(const QString &base, double *checkSeconds, double *loopSeconds)
{
    QTemporaryDir program;
    QDir(program.path()).mkpath(QStringLiteral("updates"));
    if (!writeFile(
            program.filePath(QStringLiteral("updates/init.ini")),
            QStringLiteral("[GENERAL]\nHello=%1/hello.txt\nUpdateFileURL=%1\n").arg(base).toUtf8()))
        return -1;
    setProgramFolder(program.path());

    QElapsedTimer clock;
    clock.start();
    frmUpdate window;
    // Timer ticks run in the run's yields: they see when the check has ended.
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (*checkSeconds == 0 && window.logText().contains(QStringLiteral("Files Found")))
            *checkSeconds = clock.elapsed() / 1000.0;
    });
    watch.start(1);
    window.formLoad();
    *loopSeconds = clock.elapsed() / 1000.0;
    while (!window.doneEnabled() && !window.isClosed() && clock.elapsed() < 300000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double seconds = clock.elapsed() / 1000.0;
    const bool complete = window.logText().endsWith(QStringLiteral("Update Complete"));
    window.closeWindow();
    setProgramFolder(QString());
    return complete ? seconds : -1;
}

double timeCurl(const QString &base)
{
    QTemporaryDir target;
    QString config;
    for (int number = 1; number <= fileCount; ++number) {
        const QString name = QStringLiteral("f%1.bin").arg(number, 3, 10, QLatin1Char('0'));
        config += QStringLiteral("url = \"%1/files/%2\"\noutput = \"%3/%2\"\n")
                      .arg(base, name, target.path());
    }
    const QString configPath = target.filePath(QStringLiteral("curl.cfg"));
    if (!writeFile(configPath, config.toUtf8()))
        return -1;
    QElapsedTimer clock;
    clock.start();
    QProcess curl;
    curl.start(QStringLiteral("curl"),
               {QStringLiteral("--parallel"), QStringLiteral("--parallel-max"), QStringLiteral("6"),
                QStringLiteral("-s"), QStringLiteral("-f"), QStringLiteral("-K"), configPath});
    if (!curl.waitForFinished(300000) || curl.exitCode() != 0)
        return -1;
    return clock.elapsed() / 1000.0;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    setModalBoxPresenter([](QWidget *, const ModalBoxRequest &request) {
        std::fprintf(stderr, "box: %s\n", qPrintable(request.text));
    });

    QTemporaryDir served;
    NginxServer nginx(served.path());
    if (!nginx.start()) {
        std::fprintf(stderr, "nginx: %s\n", qPrintable(nginx.errorString()));
        return 1;
    }
    const QString base = nginx.url(QString());
    if (!makeServedFolder(served.path(), base)) {
        std::fprintf(stderr, "cannot lay out the served folder\n");
        return 1;
    }

    const double curlSeconds = timeCurl(base);
    double checkSeconds = 0;
    double runSeconds = 0;
    const double updaterSeconds = timeUpdater(base, &checkSeconds, &runSeconds);
    std::printf("bench_update: %d files (1 x 100 MiB, 20 x 1 MiB, the rest 4-12 KiB) from nginx "
                "on loopback\n",
                fileCount);
    std::printf("  updater, start of the run to Done enabled: %.3f s (check ended after %.3f s, "
                "run procedure returned after %.3f s)\n",
                updaterSeconds, checkSeconds, runSeconds);
    std::printf("  curl --parallel --parallel-max 6:          %.3f s\n", curlSeconds);
    if (updaterSeconds > 0 && curlSeconds > 0)
        std::printf("  ratio updater / curl: %.2f (goal: 1.5 or less)\n",
                    updaterSeconds / curlSeconds);
    return updaterSeconds > 0 && curlSeconds > 0 ? 0 : 1;
}
