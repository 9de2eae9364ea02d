#include "download/Downloader.h"
#include "download/ModalBox.h"
#include "download/ProgressDisplay.h"
#include "download/ProgressView.h"

#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

namespace
{
// Records every call in order, so that the order of max and value shows.
class RecordingView : public ProgressView
{
public:
    float BarMax() const override { return max; }
    void SetBarMax(float m) override { calls << "max " + QString::number(max = m, 'f', 0); }
    float BarValue() const override { return value; }
    void SetBarValue(float v) override { calls << "value " + QString::number(value = v, 'f', 0); }
    void SetProgressText(const QString &text) override { calls << "text " + text; }
    void EnableDone() override { doneEnabled = true; }

    float max = 100, value = 0;
    bool doneEnabled = false;
    QStringList calls;
};
} // namespace

class tst_ProgressDisplay : public QObject
{
    Q_OBJECT
private slots:
    // The bar gets the counts as floats, the maximum first; the caption keeps
    // them exact. A tick enables Done only when the bar is full as floats, the
    // run has returned and no transfer is in flight: the update list's own
    // last notification fills the bar while the files are still to come.
    void progressThenTick()
    {
        RecordingView view;
        Downloader downloader;
        ProgressDisplay display(view, downloader);
        const struct {
            qint64 current, maximum;
            bool runReturned, enabled;
        } steps[] = {{700, -1, true, false},
                     {16777215, 16777216, true, false},
                     {2048, 2048, false, false},
                     {16777216, 16777217, true, true},
                     {2147483647, 2147483647, true, true}};
        for (const auto &step : steps) {
            view.calls.clear();
            view.doneEnabled = false;
            display.SetRunReturned(step.runReturned);
            display.downloadProgress(step.current, step.maximum, QStringLiteral("ignored"));
            // The float nearest to each count, by the compiler's conversion.
            QCOMPARE(
                view.calls,
                (QStringList{"max " + QString::number(float(step.maximum), 'f', 0),
                             "value " + QString::number(float(step.current), 'f', 0),
                             QStringLiteral("text %1 of %2").arg(step.current).arg(step.maximum)}));
            display.tick();
            QCOMPARE(view.doneEnabled, step.enabled);
        }

        // Full and returned, but a transfer in flight (to a listener that never
        // answers): no Done until it has settled. A refused start would show a
        // real box and block, so none is expected.
        QTemporaryDir dir;
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        SetModalBoxPresenter(
            [](QWidget *, const ModalBoxRequest &r) { QFAIL(qPrintable(r.text)); });
        downloader.BeginDownload(QStringLiteral("http://127.0.0.1:%1/x").arg(silent.serverPort()),
                                 dir.filePath("stalled"));
        QVERIFY(downloader.InFlight() > 0);
        view.doneEnabled = false;
        display.tick();
        QVERIFY(!view.doneEnabled);
        downloader.AbortAll();
        display.tick();
        QVERIFY(view.doneEnabled);
    }
};

QTEST_MAIN(tst_ProgressDisplay)
#include "tst_ProgressDisplay.moc"
