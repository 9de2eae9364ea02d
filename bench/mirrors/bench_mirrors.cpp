// An update of 2,000 pinned files from two nginx servers on loopback that
// hold the same files, the second named by the list's Mirrors: the time of
// the update when the first server stops after half the files arrived, beside
// the same update with no failure. Median of 3 runs each. Prints the figures;
// asserts nothing.

#include "app/ModalBox.h"
#include "app/frmUpdate.h"
#include "download/Downloader.h"
#include "tests/support/NginxServer.h"
#include "update/ProgramFolder.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>

namespace
{

constexpr int fileCount = 2000;
constexpr int runs = 3;

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// One update into a fresh program folder from the first server started
// anew (on a port of its own, which the list names: "@BASE@"); the seconds
// it took, or -1 when it did not complete. With `stopMidway`, the first
// server stops once half the files have arrived.
double update(const QString &served, QString list, const QString &mirror, bool stopMidway)
{
    QTemporaryDir program;
    NginxServer first(served);
    if (!first.start())
        return -1;
    const QString base = first.url(QString());
    // The greeting comes from the second server, which stays.
    if (!writeFile(served + QStringLiteral("/updates.txt"),
                   list.replace(QStringLiteral("@BASE@"), base).toUtf8()) ||
        !writeFile(program.filePath(QStringLiteral("updates/init.ini")),
                   QStringLiteral("[GENERAL]\nHello=%1/hello.txt\nUpdateFileURL=%2\n")
                       .arg(mirror, base)
                       .toUtf8()))
        return -1;
    setProgramFolder(program.path());
    QElapsedTimer clock;
    clock.start();
    bool complete = false;
    {
        frmUpdate window;
        int arrived = 0;
        QObject::connect(&window.Downloader2(), &Downloader::DownloadComplete, &window,
                         [&](qint64 bytes, const QString &) {
                             if (stopMidway && bytes > 0 && ++arrived == fileCount / 2)
                                 first.stop();
                         });
        window.formLoad();
        while (!window.doneEnabled() && !window.isClosed() && clock.elapsed() < 300000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        complete = window.logText().endsWith(QStringLiteral("Update Complete"));
        window.closeWindow();
    }
    const double seconds = clock.elapsed() / 1000.0;
    return complete ? seconds : -1;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
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
    NginxServer second(served.path());
    if (!second.start()) {
        std::fprintf(stderr, "nginx: %s\n", qPrintable(second.errorString()));
        return 1;
    }
    const QString mirror = second.url(QString());

    QString list = QStringLiteral("[GENERAL]\nTotalFiles=%1\nDate=2026-12-07\nTime=02:00\n"
                                  "Mirrors=%2\n")
                       .arg(fileCount)
                       .arg(mirror);
    for (int number = 1; number <= fileCount; ++number) {
        const QByteArray body(4000 + number % 997, char('a' + number % 26));
        const QString name = QStringLiteral("f%1.bin").arg(number, 4, 10, QLatin1Char('0'));
        if (!writeFile(served.filePath(QStringLiteral("files/") + name), body))
            return 1;
        list += QStringLiteral("[FILE%1]\nURL=@BASE@/files/%2\nSavePath=\\data\nFileName=%2\n"
                               "Size=%3\nSHA256=%4\n")
                    .arg(number)
                    .arg(name)
                    .arg(body.size())
                    .arg(QString::fromLatin1(
                        QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex()));
    }
    if (!writeFile(served.filePath(QStringLiteral("hello.txt")), "Benchmark server"))
        return 1;

    QList<double> whole, failing;
    for (int run = 0; run < runs; ++run) {
        whole << update(served.path(), list, mirror, false);
        failing << update(served.path(), list, mirror, true);
    }
    const bool complete = !whole.contains(-1) && !failing.contains(-1);
    std::printf("bench_mirrors: %d pinned files (4-5 KB) below a base and one mirror, nginx on "
                "loopback, median of %d\n",
                fileCount, runs);
    std::printf("  no failure:                  %.3f s\n", median(whole));
    std::printf("  first server stopped midway: %.3f s (%s)\n", median(failing),
                complete ? "every update complete" : "an update did NOT complete");
    std::printf("  ratio: %.2f (goal: 1.5 or less)\n", median(failing) / median(whole));
    return complete ? 0 : 1;
}
