#include "download/Downloader.h"
#include "update/ProgramFolder.h"
#include "update/UpdateRun.h"

#include <QTemporaryDir>
#include <QtTest>

namespace
{

void WriteFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
}

// Records what the run reports. The Downloader is real but idle: the update
// list counts as settled from the first pass on. At given passes the hook
// changes the bar's maximum (as a transfer's progress does), rewrites
// init.ini or stops the run (as a closed window does).
struct Recorder {
    explicit Recorder(UpdateRun &run)
    {
        QObject::connect(&run, &UpdateRun::LogLine, [this](const QString &text) { log << text; });
        QObject::connect(&run, &UpdateRun::Ended, [this] { done = true; });
        QObject::connect(&run, &UpdateRun::ProgressText, [this](const QString &text) {
            // The check's own labels; a transfer's byte caption is not one.
            if (text.contains(QStringLiteral(" of ")))
                return;
            labels << text;
            if (atPass)
                atPass(labels.size());
        });
    }

    bool done = false;
    std::function<void(qsizetype)> atPass;
    QStringList log, labels;
};

const QString Checking = QStringLiteral("Update file received. Checking Information....");

} // namespace

// What the whole run's tests do not see: the check's labels, value and
// re-reading, a window closed during its passes, and the file loop making no
// folder for a name it refuses.
class tst_CheckLastUpdate : public QObject
{
    Q_OBJECT

    QTemporaryDir m_program;

    void WriteProfiles(const QByteArray &list)
    {
        QVERIFY(QDir(m_program.path()).mkpath(QStringLiteral("game/updates")));
        SetProgramFolder(m_program.filePath("game"));
        WriteFile(InitIniPath(), "[GENERAL]\nLastUpdate=old date\nLastUpdateTime=old time\n");
        WriteFile(UpdatesIniPath(), "[GENERAL]\n" + list);
    }

private slots:
    // Every pass labels the bar's value cut to three characters (four from
    // 100 on) against the maximum in at most seven digits; after the last
    // pass the value is 100. An init.ini changed halfway is read again.
    void check()
    {
        WriteProfiles("TotalFiles=1\nDate=new date\nTime=new time\n");
        UpdateRun run;
        Recorder window(run);
        window.atPass = [&](qsizetype pass) {
            if (pass == 5000)
                WriteFile(InitIniPath(), "[GENERAL]\nLastUpdate=newer date\n");
            if (pass == 9001)
                emit run.Downloader2().DownloadProgress(0, 104857600, QString());
        };
        run.CheckLastUpdate();
        QCOMPARE(window.log, QStringList{Checking});
        QCOMPARE((QStringList{run.LastUpdateDate, run.LastUpdateTime, run.NewUpdateDate,
                              run.NewUpdateTime}),
                 (QStringList{"newer date", "", "new date", "new time"}));
        QCOMPARE(window.labels.size(), UpdateRun::CheckPasses + 1);
        const QString mib = QStringLiteral(" / 1.048576E+08");
        QCOMPARE((QStringList{window.labels[0], window.labels[9000], window.labels[9001],
                              window.labels.last()}),
                 (QStringList{"10. / 100", "100. / 100", "1.04" + mib, "100" + mib}));
        QCOMPARE(run.BarValue(), 100.0f);
        QVERIFY(!window.done);
    }

    // Without a positive TotalFiles the check takes the no-files exit at once;
    // a window closed during the passes ends it at the next yield.
    void checkEndsEarly()
    {
        for (const bool closes : {false, true}) {
            WriteProfiles(closes ? "TotalFiles=1\n" : "TotalFiles=-2\n");
            UpdateRun run;
            Recorder window(run);
            window.atPass = [&](qsizetype) { run.Stop(); };
            run.CheckLastUpdate();
            QCOMPARE(window.labels.size(), closes ? 1 : 0);
            QCOMPARE(window.log,
                     closes ? QStringList{Checking}
                            : (QStringList{Checking, "Finished.......", "No Files to Update"}));
            QCOMPARE(window.done, !closes);
        }
    }

    // A name that climbs out fails its file before any folder of it is made,
    // inside the program folder or not.
    void hostileNamesMakeNoFolder()
    {
        WriteProfiles("TotalFiles=2\n[FILE1]\nSavePath=\\..\\out\nFileName=a\n"
                      "[FILE2]\nSavePath=\\in\nFileName=..\\b\n");
        UpdateRun run;
        Recorder window(run);
        run.UpdateFiles();
        QCOMPARE(window.log,
                 (QStringList{"Failed to download a", "Failed to download ..\\b", "Finished.......",
                              "2 Files Failed, Update Will Be Offered Again"}));
        const auto entries = QDir::AllEntries | QDir::NoDotAndDotDot;
        QCOMPARE(QDir(m_program.path()).entryList(entries), QStringList{"game"});
        QCOMPARE(QDir(m_program.filePath("game")).entryList(entries), QStringList{"updates"});
    }
};

QTEST_MAIN(tst_CheckLastUpdate)
#include "tst_CheckLastUpdate.moc"
