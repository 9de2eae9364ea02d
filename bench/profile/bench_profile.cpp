// The last-update check reads five keys per pass for 10,500 passes, and every
// read goes to the file as it is at that moment. This measures those 52,500
// reads against the cost of merely opening and reading the same files the
// same number of times, which no uncached reader can beat.

#include "profile/NumericValue.h"
#include "profile/ProgramFolder.h"
#include "profile/modTypes.h"

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
        const double total = NumericValue(ReadIni(UpdatesIniPath(), "GENERAL", "TotalFiles"));
        const QString lastDate = ReadIni(InitIniPath(), "GENERAL", "LastUpdate");
        const QString lastTime = ReadIni(InitIniPath(), "GENERAL", "LastUpdateTime");
        const QString newDate = ReadIni(UpdatesIniPath(), "GENERAL", "Date");
        const QString newTime = ReadIni(UpdatesIniPath(), "GENERAL", "Time");
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
             {UpdatesIniPath(), InitIniPath(), InitIniPath(), UpdatesIniPath(), UpdatesIniPath()}) {
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
            figures.sink += ReadIni(UpdatesIniPath(), section, key).size();
    }
    figures.nanoseconds = timer.nsecsElapsed();
    return figures;
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
    SetProgramFolder(program.path());

    constexpr int Files = 200;
    store(InitIniPath(), initIni());
    store(UpdatesIniPath(), updatesIni(Files));

    std::printf("%d passes x %d reads = %d calls; init.ini %lld bytes, updates.ini %lld bytes "
                "(%d file sections)\n",
                Passes, ReadsPerPass, Passes * ReadsPerPass, QFileInfo(InitIniPath()).size(),
                QFileInfo(UpdatesIniPath()).size(), Files);

    readPasses(); // warm the file cache and the allocator
    const Figures floor = floorPasses();
    const Figures check = readPasses();
    const Figures last = lastSectionPasses(Files);

    print("open + readAll (floor)", floor, floor);
    print("ReadIni, the check's five keys", check, floor);
    print("ReadIni, keys of the last section", last, floor);
    // Printed so that no read can be optimised away.
    std::printf("(checksum %lld)\n", check.sink + floor.sink + last.sink);
    return 0;
}
