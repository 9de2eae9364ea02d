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

    float max = 100;
    float value = 0;
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

} // namespace

// The last-update check on its own, against a recording window.
class tst_CheckLastUpdate : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void check_data();
    void check();
    void fieldsFollowProfileRewrittenDuringCheck();
    void endsQuietlyWhenWindowCloses();

private:
    // init.ini holds "old date"/"old time"; updates.ini, unless `totalFiles`
    // is null, offers "new date"/"new time".
    void WriteProfiles(const QString &totalFiles = QStringLiteral("1"));
    QString Profile(const char *name) const { return m_program.filePath(name); }

    QTemporaryDir m_program;
};

void tst_CheckLastUpdate::init()
{
    QVERIFY(QDir(m_program.path()).mkpath(QStringLiteral("updates")));
    SetProgramFolder(m_program.path());
}

void tst_CheckLastUpdate::WriteProfiles(const QString &totalFiles)
{
    QFile::remove(Profile("updates/updates.ini"));
    WriteFile(Profile("updates/init.ini"),
              "[GENERAL]\nLastUpdate=old date\nLastUpdateTime=old time\n");
    if (!totalFiles.isNull())
        WriteFile(Profile("updates/updates.ini"), "[GENERAL]\nTotalFiles=" + totalFiles.toUtf8() +
                                                      "\nDate=new date\nTime=new time\n");
}

// Without a positive TotalFiles the check takes the no-files exit at once.
// Otherwise every pass labels the bar's value cut to three characters (four
// from 100 on), and the fields hold both profiles' dates and times.
void tst_CheckLastUpdate::check_data()
{
    QTest::addColumn<QString>("totalFiles"); // null: no updates.ini
    QTest::addColumn<float>("max");
    QTest::addColumn<int>("pass");      // 0: the text after the last pass
    QTest::addColumn<QString>("label"); // empty: the no-files exit
    QTest::newRow("0") << "0" << 300.0f << 0 << "";
    QTest::newRow("negative") << "-2" << 300.0f << 0 << "";
    QTest::newRow("no list") << QString() << 300.0f << 0 << "";
    QTest::newRow("0.5, pass 1: 10.01") << "0.5" << 100.0f << 1 << "10. / 100";
    QTest::newRow("pass 100: 11") << "1" << 100.0f << 100 << "11 / 100";
    QTest::newRow("pass 8999: 99.99") << "1" << 100.0f << 8999 << "99. / 100";
    QTest::newRow("pass 9001: 100.01") << "1" << 100.0f << 9001 << "100. / 100";
    QTest::newRow("after the last pass") << "1" << 100.0f << 0 << "100 / 100";
    QTest::newRow("maximum 150.5") << "1" << 150.5f << 1 << "15. / 150.5";
    QTest::newRow("maximum 0") << "1" << 0.0f << 1 << "0.0 / 0";
    QTest::newRow("100 MiB maximum") << "1" << 104857600.0f << 1 << "1.04 / 1.048576E+08";
}

void tst_CheckLastUpdate::check()
{
    QFETCH(QString, totalFiles);
    QFETCH(float, max);
    QFETCH(int, pass);
    QFETCH(QString, label);
    WriteProfiles(totalFiles);
    RecordingWindow window;
    window.max = max;
    UpdateRun(window).CheckLastUpdate();

    const bool exits = label.isEmpty();
    const QStringList fields = {window.LastUpdateDate, window.LastUpdateTime, window.NewUpdateDate,
                                window.NewUpdateTime};
    if (exits) {
        QCOMPARE(window.log, (QStringList{Checking, "Finished.......", "No Files to Update"}));
        QCOMPARE(fields, QStringList(4, QString()));
        QVERIFY(window.labels.isEmpty());
    } else {
        QCOMPARE(window.log, QStringList{Checking});
        QCOMPARE(fields, QStringList({"old date", "old time", "new date", "new time"}));
        QCOMPARE(window.labels.size(), UpdateRun::CheckPasses + 1);
        QCOMPARE(window.labels.at(pass == 0 ? UpdateRun::CheckPasses : pass - 1), label);
    }
    QCOMPARE(window.done, exits);
    QCOMPARE(window.value, exits ? max : 100.0f);
}

// The fields hold what the last reading pass saw, even when a profile is
// rewritten with a text of the same length while the passes run.
void tst_CheckLastUpdate::fieldsFollowProfileRewrittenDuringCheck()
{
    WriteProfiles();
    RecordingWindow window;
    QTimer::singleShot(20, &window.widget, [this] {
        WriteFile(Profile("updates/init.ini"),
                  "[GENERAL]\nLastUpdate=NEW DATE\nLastUpdateTime=old time\n");
    });
    UpdateRun(window).CheckLastUpdate();
    QCOMPARE(window.LastUpdateDate, QStringLiteral("NEW DATE"));
    QCOMPARE(window.NewUpdateDate, QStringLiteral("new date"));
}

void tst_CheckLastUpdate::endsQuietlyWhenWindowCloses()
{
    WriteProfiles();
    RecordingWindow window;
    QTimer::singleShot(0, &window.widget, [&window] { window.closed = true; });
    UpdateRun(window).CheckLastUpdate();
    QCOMPARE(window.log, QStringList{Checking});
    QVERIFY(window.labels.isEmpty());
    QCOMPARE(window.value, 0.0f);
    QVERIFY(!window.done);
}

QTEST_MAIN(tst_CheckLastUpdate)
#include "tst_CheckLastUpdate.moc"
