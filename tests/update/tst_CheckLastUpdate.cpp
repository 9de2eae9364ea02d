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
    void SetBarValue(float v) override
    {
        value = v;
        values.append(v);
    }
    void SetProgressText(const QString &text) override { labels.append(text); }
    void EnableDone() override { done = true; }
    void AddText(const QString &msg) override { log.append(msg); }
    void ShowBar() override {}
    bool DoneEnabled() const override { return done; }
    Downloader &Downloader2() override { return downloader; }
    bool IsClosed() const override { return closed; }
    void CloseWindow() override { closed = true; }
    QWidget *Widget() override { return &widget; }

    float max = 100;
    float value = 0;
    bool done = false;
    bool closed = false;
    QStringList log;
    QStringList labels;
    QList<float> values;
    QWidget widget;
    Downloader downloader;
};

void WriteFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

const QString Checking = QStringLiteral("Update file received. Checking Information....");

} // namespace

// The last-update check on its own: pass arithmetic and label texts, the
// no-files exit, the fields it loads, and its end when the window closes.
class tst_CheckLastUpdate : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void labelOfPass_data();
    void labelOfPass();
    void noFilesExit_data();
    void noFilesExit();
    void fieldsFollowProfileRewrittenDuringCheck();
    void endsQuietlyWhenWindowCloses();

private:
    std::unique_ptr<QTemporaryDir> m_program;
    void WriteList(const QString &totalFiles);
};

void tst_CheckLastUpdate::init()
{
    m_program = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir(m_program->path()).mkpath(QStringLiteral("updates")));
    SetProgramFolder(m_program->path());
    WriteFile(m_program->filePath(QStringLiteral("updates/init.ini")),
              "[GENERAL]\nLastUpdate=old date\nLastUpdateTime=old time\n");
}

void tst_CheckLastUpdate::cleanup()
{
    SetProgramFolder(QString());
    m_program.reset();
}

void tst_CheckLastUpdate::WriteList(const QString &totalFiles)
{
    WriteFile(m_program->filePath(QStringLiteral("updates/updates.ini")),
              QStringLiteral("[GENERAL]\nTotalFiles=%1\nDate=new date\nTime=new time\n")
                  .arg(totalFiles)
                  .toUtf8());
}

void tst_CheckLastUpdate::labelOfPass_data()
{
    QTest::addColumn<float>("max");
    QTest::addColumn<int>("pass"); // 0: the text after the last pass
    QTest::addColumn<QString>("label");

    QTest::newRow("pass 1") << 100.0f << 1 << "10. / 100";
    QTest::newRow("pass 99: 10.99") << 100.0f << 99 << "10. / 100";
    QTest::newRow("pass 100: 11") << 100.0f << 100 << "11 / 100";
    QTest::newRow("pass 8999: 99.99") << 100.0f << 8999 << "99. / 100";
    QTest::newRow("pass 9000: 100") << 100.0f << 9000 << "100 / 100";
    QTest::newRow("pass 9001: 100.01") << 100.0f << 9001 << "100. / 100";
    QTest::newRow("pass 10500: 115") << 100.0f << 10500 << "115 / 100";
    QTest::newRow("after the last pass") << 100.0f << 0 << "100 / 100";
    QTest::newRow("maximum 1000, pass 1") << 1000.0f << 1 << "100. / 1000";
    QTest::newRow("maximum 1000, after") << 1000.0f << 0 << "100 / 1000";
    QTest::newRow("maximum 150.5") << 150.5f << 1 << "15. / 150.5";
    QTest::newRow("maximum 0, pass 1") << 0.0f << 1 << "0.0 / 0";
    QTest::newRow("maximum 0, pass 250") << 0.0f << 250 << "2.5 / 0";
    QTest::newRow("100 MiB maximum") << 104857600.0f << 1 << "1.04 / 1.048576E+08";
}

void tst_CheckLastUpdate::labelOfPass()
{
    QFETCH(float, max);
    QFETCH(int, pass);
    QFETCH(QString, label);
    WriteList(QStringLiteral("1"));

    RecordingWindow window;
    window.max = max;
    UpdateRun run(window);
    run.CheckLastUpdate();

    QCOMPARE(window.labels.size(), UpdateRun::CheckPasses + 1);
    QCOMPARE(window.labels.at(pass == 0 ? UpdateRun::CheckPasses : pass - 1), label);
    QCOMPARE(window.log, QStringList{Checking});
    QVERIFY(!window.done);
    QCOMPARE(window.value, 100.0f);
}

void tst_CheckLastUpdate::noFilesExit_data()
{
    QTest::addColumn<QString>("totalFiles");
    QTest::addColumn<bool>("exits");
    QTest::newRow("0") << "0" << true;
    QTest::newRow("empty") << "" << true;
    QTest::newRow("negative") << "-2" << true;
    QTest::newRow("words") << "none" << true;
    QTest::newRow("no list") << QString() << true;
    QTest::newRow("0.5") << "0.5" << false;
}

void tst_CheckLastUpdate::noFilesExit()
{
    QFETCH(QString, totalFiles);
    QFETCH(bool, exits);
    if (!totalFiles.isNull())
        WriteList(totalFiles);

    RecordingWindow window;
    window.max = 300;
    UpdateRun run(window);
    run.CheckLastUpdate();

    if (exits) {
        QCOMPARE(window.log, (QStringList{Checking, "Finished.......", "No Files to Update"}));
        QVERIFY(window.done);
        QCOMPARE(window.value, 300.0f);
        QVERIFY(window.labels.isEmpty());
        QCOMPARE(window.LastUpdateDate, QString());
        QCOMPARE(window.NewUpdateDate, QString());
    } else {
        QCOMPARE(window.log, QStringList{Checking});
        QVERIFY(!window.done);
        QCOMPARE(window.LastUpdateDate, QStringLiteral("old date"));
        QCOMPARE(window.LastUpdateTime, QStringLiteral("old time"));
        QCOMPARE(window.NewUpdateDate, QStringLiteral("new date"));
        QCOMPARE(window.NewUpdateTime, QStringLiteral("new time"));
    }
}

// The fields hold what the last reading pass saw, even when a profile is
// rewritten with a text of the same length while the passes run.
void tst_CheckLastUpdate::fieldsFollowProfileRewrittenDuringCheck()
{
    WriteList(QStringLiteral("1"));
    RecordingWindow window;
    UpdateRun run(window);
    const QString init = m_program->filePath(QStringLiteral("updates/init.ini"));
    QTimer::singleShot(20, &window.widget, [&] {
        WriteFile(init, "[GENERAL]\nLastUpdate=NEW DATE\nLastUpdateTime=old time\n");
    });
    run.CheckLastUpdate();
    QCOMPARE(window.LastUpdateDate, QStringLiteral("NEW DATE"));
    QCOMPARE(window.NewUpdateDate, QStringLiteral("new date"));
}

void tst_CheckLastUpdate::endsQuietlyWhenWindowCloses()
{
    WriteList(QStringLiteral("1"));
    RecordingWindow window;
    UpdateRun run(window);
    QTimer::singleShot(0, &window.widget, [&window] { window.closed = true; });
    run.CheckLastUpdate();
    QCOMPARE(window.log, QStringList{Checking});
    QVERIFY(window.labels.isEmpty());
    QVERIFY(window.values.isEmpty());
    QVERIFY(!window.done);
}

QTEST_MAIN(tst_CheckLastUpdate)
#include "tst_CheckLastUpdate.moc"
