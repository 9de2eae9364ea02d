#include "download/Downloader.h"
#include "download/ModalBox.h"
#include "download/ProgressDisplay.h"
#include "download/ProgressView.h"
#include "tests/support/TestHttpServer.h"

#include <QTemporaryDir>
#include <QtTest>
#include <optional>

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
    void progressThenTick_data();
    void progressThenTick();
};

// The bar gets the counts as floats, the maximum first; the caption keeps them
// exact. A tick enables Done only when the bar is full as floats, the run has
// returned and no transfer is in flight: the update list's own last
// notification fills the bar while the files are still to come.
void tst_ProgressDisplay::progressThenTick_data()
{
    QTest::addColumn<QString>("caption"); // "<current> of <maximum>"
    QTest::addColumn<bool>("runReturned");
    QTest::addColumn<bool>("inFlight");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("unknown length") << "700 of -1" << true << false << false;
    QTest::newRow("largest count, full") << "2147483647 of 2147483647" << true << false << true;
    QTest::newRow("full as floats") << "16777216 of 16777217" << true << false << true;
    QTest::newRow("one byte short below 2^24") << "16777215 of 16777216" << true << false << false;
    QTest::newRow("full, run still going") << "2048 of 2048" << false << false << false;
    QTest::newRow("full, transfer in flight") << "1000 of 1000" << true << true << false;
}

void tst_ProgressDisplay::progressThenTick()
{
    QFETCH(QString, caption);
    QFETCH(bool, runReturned);
    QFETCH(bool, inFlight);
    QFETCH(bool, enabled);
    const qint64 cur = caption.section(' ', 0, 0).toLongLong();
    const qint64 max = caption.section(' ', 2, 2).toLongLong();
    RecordingView view;
    Downloader downloader;
    ProgressDisplay display(view, downloader);
    display.SetRunReturned(runReturned);
    QTemporaryDir dir;
    std::optional<TestHttpServer> server;
    if (inFlight) {
        QVERIFY(dir.isValid());
        server.emplace().addFaultEndpoints();
        server->start();
        // A server stopped before its accept loop runs would never stop.
        QTRY_VERIFY(server->server().is_running());
        // A refused start would show a real box and block; none is expected.
        SetModalBoxPresenter(
            [](QWidget *, const ModalBoxRequest &r) { QFAIL(qPrintable(r.text)); });
        downloader.BeginDownload(server->url(QStringLiteral("/stall")), dir.filePath("stalled"));
    }
    display.downloadProgress(cur, max, QStringLiteral("ignored"));
    // The float nearest to each count, computed here by the compiler's
    // conversion, never by the display.
    const QStringList expected{"max " + QString::number(float(max), 'f', 0),
                               "value " + QString::number(float(cur), 'f', 0), "text " + caption};
    QCOMPARE(view.calls, expected);
    display.tick();
    QCOMPARE(view.doneEnabled, enabled);
    // Once the downloader has settled, the next tick enables Done.
    downloader.AbortAll();
    display.tick();
    QCOMPARE(view.doneEnabled, enabled || inFlight);
}

QTEST_MAIN(tst_ProgressDisplay)
#include "tst_ProgressDisplay.moc"
