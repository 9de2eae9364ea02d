#include "download/Downloader.h"
#include "download/ModalBox.h"
#include "download/ProgressDisplay.h"
#include "download/ProgressView.h"
#include "tests/support/TestHttpServer.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <bit>

namespace
{
// Records every call in order, so that the order of max and value shows.
class RecordingView : public ProgressView
{
public:
    float BarMax() const override { return max; }
    void SetBarMax(float m) override
    {
        max = m;
        calls << QStringLiteral("max %1").arg(double(m), 0, 'f', 0);
    }
    float BarValue() const override { return value; }
    void SetBarValue(float v) override
    {
        value = v;
        calls << QStringLiteral("value %1").arg(double(v), 0, 'f', 0);
    }
    void SetProgressText(const QString &text) override { calls << QStringLiteral("text ") + text; }
    void EnableDone() override { doneEnabled = true; }

    float max = 100;
    float value = 0;
    bool doneEnabled = false;
    QStringList calls;
};
} // namespace

class tst_ProgressDisplay : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void progressSetsMaxThenValueThenCaption_data();
    void progressSetsMaxThenValueThenCaption();
    void tickEnablesDoneOnlyWhenUpdateEnded_data();
    void tickEnablesDoneOnlyWhenUpdateEnded();
    void doneNotEnabledWhileTransferInFlight();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_ProgressDisplay::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    // A refused download would show a real box; none is expected.
    SetModalBoxPresenter([](QWidget *, const ModalBoxRequest &request) {
        QFAIL(qPrintable(QStringLiteral("unexpected box: ") + request.text));
    });
}

void tst_ProgressDisplay::progressSetsMaxThenValueThenCaption_data()
{
    QTest::addColumn<qint64>("cur");
    QTest::addColumn<qint64>("max");
    QTest::addColumn<QString>("caption");
    QTest::newRow("a quarter") << qint64(512) << qint64(2048) << "512 of 2048";
    QTest::newRow("no thousands separators")
        << qint64(4096) << qint64(1048576) << "4096 of 1048576";
    QTest::newRow("nothing yet") << qint64(0) << qint64(0) << "0 of 0";
    QTest::newRow("unknown length") << qint64(700) << qint64(-1) << "700 of -1";
    QTest::newRow("largest count")
        << qint64(2147483647) << qint64(2147483647) << "2147483647 of 2147483647";
}

void tst_ProgressDisplay::progressSetsMaxThenValueThenCaption()
{
    QFETCH(qint64, cur);
    QFETCH(qint64, max);
    QFETCH(QString, caption);
    RecordingView view;
    Downloader downloader;
    ProgressDisplay display(view, downloader);
    display.downloadProgress(cur, max, QStringLiteral("ignored"));
    const QStringList expected{QStringLiteral("max %1").arg(double(float(max)), 0, 'f', 0),
                               QStringLiteral("value %1").arg(double(float(cur)), 0, 'f', 0),
                               QStringLiteral("text ") + caption};
    QCOMPARE(view.calls, expected);
    QCOMPARE(std::bit_cast<quint32>(view.max), std::bit_cast<quint32>(float(max)));
    QCOMPARE(std::bit_cast<quint32>(view.value), std::bit_cast<quint32>(float(cur)));
}

void tst_ProgressDisplay::tickEnablesDoneOnlyWhenUpdateEnded_data()
{
    QTest::addColumn<qint64>("cur");
    QTest::addColumn<qint64>("max");
    QTest::addColumn<bool>("runReturned");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("full, run returned") << qint64(2048) << qint64(2048) << true << true;
    QTest::newRow("full as floats: 16777216 of 16777217")
        << qint64(16777216) << qint64(16777217) << true << true;
    QTest::newRow("one byte short below 2^24")
        << qint64(16777215) << qint64(16777216) << true << false;
    QTest::newRow("one byte short") << qint64(2047) << qint64(2048) << true << false;
    QTest::newRow("full, run still going") << qint64(2048) << qint64(2048) << false << false;
}

void tst_ProgressDisplay::tickEnablesDoneOnlyWhenUpdateEnded()
{
    QFETCH(qint64, cur);
    QFETCH(qint64, max);
    QFETCH(bool, runReturned);
    QFETCH(bool, enabled);
    RecordingView view;
    Downloader downloader;
    ProgressDisplay display(view, downloader);
    display.SetRunReturned(runReturned);
    display.downloadProgress(cur, max, QStringLiteral("x"));
    display.tick();
    QCOMPARE(view.doneEnabled, enabled);
}

// The update list's own last notification fills the bar while the files are
// still to come; only a settled downloader lets the tick enable Done.
void tst_ProgressDisplay::doneNotEnabledWhileTransferInFlight()
{
    TestHttpServer server;
    server.addFaultEndpoints();
    server.start();

    RecordingView view;
    Downloader downloader;
    ProgressDisplay display(view, downloader);
    display.SetRunReturned(true);

    downloader.BeginDownload(server.url(QStringLiteral("/stall")), m_dir->filePath("stalled"));
    QCOMPARE(downloader.InFlight(), 1);
    display.downloadProgress(1000, 1000, QStringLiteral("x"));
    display.tick();
    QVERIFY(!view.doneEnabled);

    downloader.AbortAll();
    QCOMPARE(downloader.InFlight(), 0);
    display.tick();
    QVERIFY(view.doneEnabled);
}

QTEST_MAIN(tst_ProgressDisplay)
#include "tst_ProgressDisplay.moc"
