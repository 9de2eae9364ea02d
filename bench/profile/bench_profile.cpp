// The last-update check reads five keys per pass for 10,500 passes, and every
// read goes to the file as it is at that moment. This measures those 52,500
// reads against the cost of merely opening and reading the same files the
// same number of times, which no uncached reader can beat; reads that keep
// the content of unchanged files go below it.
//
// The file loop reads three keys of every file section of the list. The cost
// per file of reading lists of 1,000 and 10,000 files shows whether that
// stays linear in the number of files: read just after the list was written,
// as in a run (the first reads compare the content while the stamp is not yet
// trusted), and with the stamp trusted at once. For comparison, the cost of
// parsing the whole list for each key, as reads did before the cache.

#include "profile/NumericValue.h"
#include "profile/ProfileCache.h"
#include "profile/ProfileFile.h"
#include "profile/modTypes.h"
#include "update/ProgramFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>

namespace
{

constexpr int Passes = 10500;
constexpr int ReadsPerPass = 5;

void store(const QString &file, const QByteArray &content)
{
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(file));
}

QByteArray initIni()
{
    return "[GENERAL]\r\n"
           "Hello=http://updates.example.com/castle/hello.txt\r\n"
           "UpdateFileURL=http://updates.example.com/castle\r\n"
           "LastUpdate=11/28/2026\r\n"
           "LastUpdateTime=6:15:00 PM\r\n";
}

QByteArray updatesIni(int files)
{
    QByteArray list = "[GENERAL]\r\nTotalFiles=" + QByteArray::number(files) +
                      "\r\nDate=12/06/2026\r\nTime=9:30:00 AM\r\n\r\n";
    for (int i = 1; i <= files; ++i) {
        const QByteArray n = QByteArray::number(i);
        list += "[FILE" + n + "]\r\nURL=http://updates.example.com/castle/files/data" + n +
                ".pak\r\nSavePath=\\data\\pack" + QByteArray::number(i % 7) + "\r\nFileName=data" +
                n + ".pak\r\n\r\n";
    }
    return list;
}

struct Figures {
    qint64 nanoseconds = 0;
    qint64 sink = 0;
};

// The reads of one pass, in the order the check makes them.
Figures readPasses()
{
    Figures figures;
    QElapsedTimer timer;
    timer.start();
    for (int pass = 1; pass <= Passes; ++pass) {
        const double total = numericValue(ReadIni(updatesIniPath(), "GENERAL", "TotalFiles"));
        const QString lastDate = ReadIni(initIniPath(), "GENERAL", "LastUpdate");
        const QString lastTime = ReadIni(initIniPath(), "GENERAL", "LastUpdateTime");
        const QString newDate = ReadIni(updatesIniPath(), "GENERAL", "Date");
        const QString newTime = ReadIni(updatesIniPath(), "GENERAL", "Time");
        figures.sink +=
            qint64(total) + lastDate.size() + lastTime.size() + newDate.size() + newTime.size();
    }
    figures.nanoseconds = timer.nsecsElapsed();
    return figures;
}

// The same files opened and read whole, in the same order, nothing looked up.
Figures floorPasses()
{
    Figures figures;
    QElapsedTimer timer;
    timer.start();
    for (int pass = 1; pass <= Passes; ++pass) {
        for (const QString &file :
             {updatesIniPath(), initIniPath(), initIniPath(), updatesIniPath(), updatesIniPath()}) {
            QFile in(file);
            if (in.open(QIODevice::ReadOnly))
                figures.sink += in.readAll().size();
        }
    }
    figures.nanoseconds = timer.nsecsElapsed();
    return figures;
}

// Keys at the far end of the list, the worst place for a lookup.
Figures lastSectionPasses(int files)
{
    Figures figures;
    const QString section = "FILE" + QString::number(files);
    QElapsedTimer timer;
    timer.start();
    for (int pass = 1; pass <= Passes; ++pass) {
        for (const char *key : {"URL", "SavePath", "FileName", "URL", "FileName"})
            figures.sink += ReadIni(updatesIniPath(), section, key).size();
    }
    figures.nanoseconds = timer.nsecsElapsed();
    return figures;
}

// The file loop's reads of a list of `files` sections, just written.
Figures fileLoop(int files, bool uncached)
{
    store(updatesIniPath(), updatesIni(files));
    Figures figures;
    QElapsedTimer timer;
    timer.start();
    for (int number = 1; number <= files; ++number) {
        const QString section = "FILE" + QString::number(number);
        for (const char *key : {"URL", "SavePath", "FileName"}) {
            if (uncached) {
                QFile in(updatesIniPath());
                if (in.open(QIODevice::ReadOnly))
                    figures.sink +=
                        ProfileFile::value(in.readAll(), section.toLatin1(), key).size();
            } else {
                figures.sink += ReadIni(updatesIniPath(), section, key).size();
            }
        }
    }
    figures.nanoseconds = timer.nsecsElapsed();
    return figures;
}

void printFileLoop(const char *what, int files, const Figures &figures)
{
    std::printf("%-42s %6d files %9.1f ms  %7.2f us/file\n", what, files, figures.nanoseconds / 1e6,
                figures.nanoseconds / 1e3 / files);
}

void print(const char *what, const Figures &figures, const Figures &floor)
{
    const double calls = double(Passes) * ReadsPerPass;
    std::printf("%-34s %9.1f ms  %7.2f us/call  %5.2fx floor\n", what, figures.nanoseconds / 1e6,
                figures.nanoseconds / 1e3 / calls,
                double(figures.nanoseconds) / double(floor.nanoseconds));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir program;
    if (!program.isValid() || !QDir(program.path()).mkpath("updates"))
        qFatal("cannot make a program folder");
    setProgramFolder(program.path());

    constexpr int Files = 200;
    store(initIniPath(), initIni());
    store(updatesIniPath(), updatesIni(Files));

    std::printf("%d passes x %d reads = %d calls; init.ini %lld bytes, updates.ini %lld bytes "
                "(%d file sections)\n",
                Passes, ReadsPerPass, Passes * ReadsPerPass, QFileInfo(initIniPath()).size(),
                QFileInfo(updatesIniPath()).size(), Files);

    readPasses(); // warm the file cache and the allocator
    const Figures floor = floorPasses();
    const Figures check = readPasses();
    const Figures last = lastSectionPasses(Files);

    print("open + readAll (floor)", floor, floor);
    print("ReadIni, the check's five keys", check, floor);
    print("ReadIni, keys of the last section", last, floor);

    qint64 sink = check.sink + floor.sink + last.sink;
    std::printf("\nfile loop: URL, SavePath and FileName of every file section\n");
    for (const int files : {1000, 10000}) {
        const Figures fresh = fileLoop(files, false);
        printFileLoop("ReadIni, list just written", files, fresh);
        ProfileCache::trustStampsAtOnceForTests(true);
        const Figures trusted = fileLoop(files, false);
        ProfileCache::trustStampsAtOnceForTests(false);
        printFileLoop("ReadIni, stamp trusted at once", files, trusted);
        sink += fresh.sink + trusted.sink;
    }
    // The whole list parsed for each key grows with the square of the files:
    // 10,000 would take minutes.
    for (const int files : {1000, 2000}) {
        const Figures uncached = fileLoop(files, true);
        printFileLoop("read and parse the whole list for each key", files, uncached);
        sink += uncached.sink;
    }
    // Printed so that no read can be optimised away.
    std::printf("(checksum %lld)\n", sink);
    return 0;
}
