#include "download/Downloader.h"
#include "profile/ProgramFolder.h"
#include "update/UpdateRun.h"
#include "update/UpdateWindow.h"

#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace
{

// A window that records what the check does to it. The Downloader is real
// but idle: the update list counts as settled from the first pass on.
class RecordingWindow : public UpdateWindow
{
public:
    float BarMax() const override { return max; }
    void SetBarMax(float m) override { max = m; }
    float BarValue() const override { return value; }
    void SetBarValue(float v) override { value = v; }
    void SetProgressText(const QString &text) override { labels.append(text); }
    void EnableDone() override { done = true; }
    void AddText(const QString &msg) override { log.append(msg); }
    void ShowBar() override {}
    bool DoneEnabled() const override { return done; }
    Downloader &Downloader2() override { return downloader; }
    bool IsClosed() const override { return closed; }
    void CloseWindow() override { closed = true; }
    QWidget *Widget() override { return &widget; }

    float max = 100, value = 0;
    bool done = false, closed = false;
    QStringList log, labels;
    QWidget widget;
    Downloader downloader;
};

void WriteFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
}

const QString Checking = QStringLiteral("Update file received. Checking Information....");
const QStringList Loaded = {"old date", "old time", "new date", "new time"};

} // namespace

// The last-update check on its own, against a recording window. init.ini
// holds "old date"/"old time"; updates.ini offers "new date"/"new time".
class tst_CheckLastUpdate : public QObject
{
    Q_OBJECT

    QTemporaryDir m_program;
    QString Profile(const char *name) const { return m_program.filePath(name); }
    void WriteList(const QByteArray &totalFiles)
    {
        WriteFile(Profile("updates/updates.ini"),
                  "[GENERAL]\nTotalFiles=" + totalFiles + "\nDate=new date\nTime=new time\n");
    }

private slots:
    void init()
    {
        QVERIFY(QDir(m_program.path()).mkpath(QStringLiteral("updates")));
        SetProgramFolder(m_program.path());
        WriteFile(Profile("updates/init.ini"),
                  "[GENERAL]\nLastUpdate=old date\nLastUpdateTime=old time\n");
        WriteList("1");
    }

    // Without a positive TotalFiles the check takes the no-files exit at once
    // (TotalFiles 0, a fraction and a missing list: see tst_UpdateRun).
    // Otherwise every pass labels the bar's value cut to three characters
    // (four from 100 on), and the fields hold both profiles' dates and times.
    void check_data()
    {
        QTest::addColumn<float>("max");
        QTest::addColumn<int>("pass");      // 0: the text after the last pass
        QTest::addColumn<QString>("label"); // empty: TotalFiles -2, the no-files exit
        QTest::newRow("negative TotalFiles") << 300.0f << 0 << "";
        QTest::newRow("pass 1: 10.01") << 100.0f << 1 << "10. / 100";
        QTest::newRow("pass 9001: 100.01") << 100.0f << 9001 << "100. / 100";
        QTest::newRow("after the last pass") << 100.0f << 0 << "100 / 100";
        QTest::newRow("maximum 150.5") << 150.5f << 1 << "15. / 150.5";
        QTest::newRow("maximum 0") << 0.0f << 1 << "0.0 / 0";
        QTest::newRow("100 MiB maximum") << 104857600.0f << 1 << "1.04 / 1.048576E+08";
    }

    void check()
    {
        QFETCH(float, max);
        QFETCH(int, pass);
        QFETCH(QString, label);
        const bool exits = label.isEmpty();
        if (exits)
            WriteList("-2");
        RecordingWindow window;
        window.max = max;
        UpdateRun(window).CheckLastUpdate();

        QCOMPARE(window.log, (exits ? QStringList{Checking, "Finished.......", "No Files to Update"}
                                    : QStringList{Checking}));
        QCOMPARE((QStringList{window.LastUpdateDate, window.LastUpdateTime, window.NewUpdateDate,
                              window.NewUpdateTime}),
                 exits ? QStringList(4, QString()) : Loaded);
        QCOMPARE(window.labels.size(), exits ? 0 : UpdateRun::CheckPasses + 1);
        if (!exits)
            QCOMPARE(window.labels.at(pass == 0 ? UpdateRun::CheckPasses : pass - 1), label);
        QCOMPARE(window.done, exits);
        QCOMPARE(window.value, exits ? max : 100.0f);
    }

    // While the passes run, the window closes on the first yield: the check
    // ends quietly. Or init.ini is rewritten with a text of the same length:
    // the fields hold what the last reading pass saw.
    void duringCheck_data()
    {
        QTest::addColumn<bool>("close");
        QTest::newRow("window closes") << true;
        QTest::newRow("init.ini rewritten") << false;
    }

    void duringCheck()
    {
        QFETCH(bool, close);
        RecordingWindow window;
        QTimer::singleShot(close ? 0 : 20, &window.widget, [&] {
            if (close)
                window.closed = true;
            else
                WriteFile(Profile("updates/init.ini"),
                          "[GENERAL]\nLastUpdate=NEW DATE\nLastUpdateTime=old time\n");
        });
        UpdateRun(window).CheckLastUpdate();
        QCOMPARE(window.log, QStringList{Checking});
        QCOMPARE(window.LastUpdateDate, close ? "old date" : "NEW DATE");
        QCOMPARE(window.NewUpdateDate, QStringLiteral("new date"));
        QCOMPARE(window.labels.size(), close ? 0 : UpdateRun::CheckPasses + 1);
        QCOMPARE(window.value, close ? 0.0f : 100.0f);
        QVERIFY(!window.done);
    }
};

QTEST_MAIN(tst_CheckLastUpdate)
#include "tst_CheckLastUpdate.moc"
