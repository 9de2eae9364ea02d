#include "download/Downloader.h"
#include "update/UpdateRun.h"

#include <QtTest>

class tst_ProgressDisplay : public QObject
{
    Q_OBJECT
private slots:
    // Each progress event of the run's Downloader gives the bar the counts as
    // floats, range and value together, and the caption the exact counts. A
    // tick before the run has returned never ends the update, however full
    // the bar: the update list's own last notification fills it.
    void progressThenTick()
    {
        UpdateRun run;
        QSignalSpy bar(&run, &UpdateRun::BarChanged);
        QSignalSpy caption(&run, &UpdateRun::ProgressText);
        QSignalSpy ended(&run, &UpdateRun::Ended);
        const struct {
            qint64 current, maximum;
        } steps[] = {{700, -1}, {16777215, 16777216}, {2048, 2048}, {2147483647, 2147483647}};
        for (const auto &step : steps) {
            bar.clear();
            caption.clear();
            emit run.Downloader2().DownloadProgress(step.current, step.maximum,
                                                    QStringLiteral("ignored"));
            // The float nearest to each count, by the compiler's conversion.
            QCOMPARE(bar.size(), 1);
            QCOMPARE(bar[0][0].toFloat(), float(step.maximum));
            QCOMPARE(bar[0][1].toFloat(), float(step.current));
            QCOMPARE(run.BarMax(), float(step.maximum));
            QCOMPARE(run.BarValue(), float(step.current));
            QCOMPARE(caption.size(), 1);
            QCOMPARE(caption[0][0].toString(),
                     QStringLiteral("%1 of %2").arg(step.current).arg(step.maximum));
            run.tick();
            QCOMPARE(ended.size(), 0);
            QVERIFY(!run.HasEnded());
        }
    }
};

QTEST_MAIN(tst_ProgressDisplay)
#include "tst_ProgressDisplay.moc"
