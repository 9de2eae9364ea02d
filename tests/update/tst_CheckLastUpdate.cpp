#include "download/Downloader.h"
#include "profile/ProgramFolder.h"
#include "update/UpdateRun.h"
#include "update/UpdateWindow.h"

#include <QTemporaryDir>
#include <QtTest>

namespace
{

void WriteFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
}

// Records what the check does to it. The Downloader is real but idle: the
// update list counts as settled from the first pass on. Halfway through the
// passes init.ini gets a new date, which the next reading pass must load.
class RecordingWindow : public UpdateWindow
{
public:
    float BarMax() const override { return max; }
    void SetBarMax(float m) override { max = m; }
    float BarValue() const override { return value; }
    void SetBarValue(float v) override { value = v; }
    void SetProgressText(const QString &text) override
    {
        labels.append(text);
        closed = closeAfterPass1;
        if (labels.size() == UpdateRun::CheckPasses / 2)
            WriteFile(InitIniPath(), "[GENERAL]\nLastUpdate=newer date\nLastUpdateTime=old time\n");
    }
    void EnableDone() override { done = true; }
    void AddText(const QString &msg) override { log.append(msg); }
    void ShowBar() override {}
    bool DoneEnabled() const override { return done; }
    Downloader &Downloader2() override { return downloader; }
    bool IsClosed() const override { return closed; }
    void CloseWindow() override {}
    QWidget *Widget() override { return nullptr; }

    float max = 100, value = 0;
    bool done = false, closed = false, closeAfterPass1 = false;
    QStringList log, labels;
    Downloader downloader;
};

const QString Checking = QStringLiteral("Update file received. Checking Information....");

} // namespace

// The last-update check's own look, which the whole run's tests do not see:
// every pass labels the bar's value cut to three characters (four from 100
// on) against the maximum in at most seven digits, and after the last pass
// the value 100. Without a positive TotalFiles the check takes the no-files
// exit at once.
class tst_CheckLastUpdate : public QObject
{
    Q_OBJECT

    QTemporaryDir m_program;
    void WriteProfiles(const QByteArray &totalFiles)
    {
        QVERIFY(QDir(m_program.path()).mkpath(QStringLiteral("game/updates")));
        SetProgramFolder(m_program.filePath("game"));
        WriteFile(InitIniPath(), "[GENERAL]\nLastUpdate=old date\nLastUpdateTime=old time\n");
        WriteFile(UpdatesIniPath(),
                  "[GENERAL]\nTotalFiles=" + totalFiles + "\nDate=new date\nTime=new time\n");
    }

private slots:
    void check_data()
    {
        QTest::addColumn<QByteArray>("totalFiles");
        QTest::addColumn<float>("max");
        QTest::addColumn<QStringList>("labels"); // after passes 1 and 9001 and the last one
        QTest::newRow("negative TotalFiles") << QByteArray("-2") << 300.0f << QStringList();
        QTest::newRow("maximum 100")
            << QByteArray("1") << 100.0f << QStringList{"10. / 100", "100. / 100", "100 / 100"};
        const QString mib = QStringLiteral(" / 1.048576E+08");
        QTest::newRow("100 MiB maximum") << QByteArray("1") << 104857600.0f
                                         << QStringList{"1.04" + mib, "1.04" + mib, "100" + mib};
    }

    void check()
    {
        QFETCH(QByteArray, totalFiles);
        QFETCH(float, max);
        QFETCH(QStringList, labels);
        QTemporaryDir program;
        QVERIFY(QDir(program.path()).mkpath(QStringLiteral("updates")));
        SetProgramFolder(program.path());
        WriteFile(InitIniPath(), "[GENERAL]\nLastUpdate=old date\nLastUpdateTime=old time\n");
        WriteFile(UpdatesIniPath(),
                  "[GENERAL]\nTotalFiles=" + totalFiles + "\nDate=new date\nTime=new time\n");
        RecordingWindow window;
        window.max = max;
        UpdateRun(window).CheckLastUpdate();

        const bool exits = labels.isEmpty();
        QCOMPARE(window.log, (exits ? QStringList{Checking, "Finished.......", "No Files to Update"}
                                    : QStringList{Checking}));
        QCOMPARE((QStringList{window.LastUpdateDate, window.LastUpdateTime, window.NewUpdateDate,
                              window.NewUpdateTime}),
                 (exits ? QStringList(4, QString())
                        : QStringList{"newer date", "old time", "new date", "new time"}));
        QCOMPARE(window.labels.size(), exits ? 0 : UpdateRun::CheckPasses + 1);
        if (!exits)
            QCOMPARE((QStringList{window.labels[0], window.labels[9000], window.labels.last()}),
                     labels);
        QCOMPARE(window.done, exits);
        QCOMPARE(window.value, exits ? max : 100.0f);
    }

    // A window closed during the passes ends the check at its next yield.
    void closedWindowEndsCheck()
    {
        WriteProfiles("1");
        RecordingWindow window;
        window.closeAfterPass1 = true;
        UpdateRun(window).CheckLastUpdate();
        QCOMPARE(window.labels.size(), 1);
        QCOMPARE(window.log, QStringList{Checking});
        QVERIFY(!window.done);
    }

    // The file loop, on the same window: a name that climbs out fails its
    // file before any folder of it is made, inside the program folder or not.
    void hostileNamesMakeNoFolder()
    {
        WriteProfiles("2");
        WriteFile(UpdatesIniPath(), "[GENERAL]\nTotalFiles=2\n[FILE1]\nSavePath=\\..\\out\n"
                                    "FileName=a\n[FILE2]\nSavePath=\\in\nFileName=..\\b\n");
        RecordingWindow window;
        UpdateRun(window).UpdateFiles();
        QCOMPARE(window.log,
                 (QStringList{"Failed to download a", "Failed to download ..\\b", "Finished.......",
                              "2 Files Failed, Update Will Be Offered Again"}));
        QCOMPARE(QDir(m_program.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{"game"});
        QCOMPARE(
            QDir(m_program.filePath("game")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
            QStringList{"updates"});
    }
};

QTEST_MAIN(tst_CheckLastUpdate)
#include "tst_CheckLastUpdate.moc"
