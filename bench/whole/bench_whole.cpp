// An update of 200 pinned files of which 5 changed, from nginx on loopback:
// the bytes nginx sent (its $bytes_sent, headers included) against the sum
// of the 5 changed files and the list, the least any updater must fetch.
// Prints the figures; asserts nothing.

#include "app/ModalBox.h"
#include "app/frmUpdate.h"
#include "tests/support/NginxServer.h"
#include "update/ProgramFolder.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>

namespace
{

constexpr int fileCount = 200;
constexpr int Changed[] = {3, 50, 99, 150, 200};

QByteArray content(int number, bool changed)
{
    return QByteArray(20000 + number * 300, char((changed ? 'A' : 'a') + number % 26));
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QString name(int number)
{
    return QStringLiteral("f%1.bin").arg(number, 3, 10, QLatin1Char('0'));
}

bool isChanged(int number)
{
    return std::find(std::begin(Changed), std::end(Changed), number) != std::end(Changed);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    setModalBoxPresenter([](QWidget *, const ModalBoxRequest &request) {
        std::fprintf(stderr, "box: %s\n", qPrintable(request.text));
    });

    QTemporaryDir served, logs, program;
    NginxServer nginx(served.path());
    const QString logPath = logs.filePath(QStringLiteral("access.log"));
    nginx.setAccessLog(logPath);
    if (!nginx.start()) {
        std::fprintf(stderr, "nginx: %s\n", qPrintable(nginx.errorString()));
        return 1;
    }
    const QString base = nginx.url(QString());

    // The player has the old release; the server the new one.
    QString list =
        QStringLiteral("[GENERAL]\nTotalFiles=%1\nDate=2026-12-07\nTime=02:00\n").arg(fileCount);
    qint64 changedBytes = 0;
    for (int number = 1; number <= fileCount; ++number) {
        const QByteArray fresh = content(number, isChanged(number));
        if (isChanged(number))
            changedBytes += fresh.size();
        if (!writeFile(served.filePath(QStringLiteral("files/") + name(number)), fresh) ||
            !writeFile(program.filePath(QStringLiteral("data/") + name(number)),
                       content(number, false)))
            return 1;
        list += QStringLiteral("[FILE%1]\nURL=%2/files/%3\nSavePath=\\data\nFileName=%3\n"
                               "Size=%4\nSHA256=%5\n")
                    .arg(number)
                    .arg(base, name(number))
                    .arg(fresh.size())
                    .arg(QString::fromLatin1(
                        QCryptographicHash::hash(fresh, QCryptographicHash::Sha256).toHex()));
    }
    const QByteArray listBytes = list.toUtf8();
    if (!writeFile(served.filePath(QStringLiteral("updates.txt")), listBytes) ||
        !writeFile(served.filePath(QStringLiteral("hello.txt")), "Benchmark server") ||
        !writeFile(
            program.filePath(QStringLiteral("updates/init.ini")),
            QStringLiteral("[GENERAL]\nHello=%1/hello.txt\nUpdateFileURL=%1\n").arg(base).toUtf8()))
        return 1;
    setProgramFolder(program.path());

    QElapsedTimer clock;
    clock.start();
    bool complete = false;
    {
        frmUpdate window;
        window.formLoad();
        while (!window.doneEnabled() && !window.isClosed() && clock.elapsed() < 300000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        complete = window.logText().endsWith(QStringLiteral("Update Complete"));
        window.closeWindow();
    }
    const double seconds = clock.elapsed() / 1000.0;
    nginx.stop(); // flushes the access log

    qint64 sent = 0, sentFiles = 0;
    int requests = 0, fileRequests = 0;
    QFile log(logPath);
    if (!log.open(QIODevice::ReadOnly))
        return 1;
    while (!log.atEnd()) {
        const QList<QByteArray> fields = log.readLine().trimmed().split(' ');
        if (fields.size() < 4)
            continue;
        ++requests;
        sent += fields[3].toLongLong();
        if (fields[2].startsWith("/files/")) {
            ++fileRequests;
            sentFiles += fields[3].toLongLong();
        }
    }
    const qint64 least = changedBytes + listBytes.size();
    std::printf("bench_whole: %d pinned files (20-80 KB), %d changed, from nginx on loopback\n",
                fileCount, int(std::size(Changed)));
    std::printf("  update %s in %.3f s\n", complete ? "complete" : "NOT complete", seconds);
    std::printf("  requests: %d in all, %d for files\n", requests, fileRequests);
    std::printf("  bytes sent by nginx: %lld (files %lld), headers and greeting included\n",
                static_cast<long long>(sent), static_cast<long long>(sentFiles));
    std::printf("  changed files + list: %lld + %lld = %lld\n",
                static_cast<long long>(changedBytes), static_cast<long long>(listBytes.size()),
                static_cast<long long>(least));
    std::printf("  ratio sent / (changed files + list): %.4f (goal: 1.01 or less)\n",
                double(sent) / double(least));
    return complete ? 0 : 1;
}
