#include "app/ModalBox.h"
#include "app/frmUpdate.h"
#include "profile/modTypes.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TestFiles.h"
#include "update/ProgramFolder.h"

#include <QDateTime>
#include <QDirIterator>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

int Run(const QString &program, const QStringList &args)
{
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, args);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
               ? process.exitCode()
               : -1;
}

void WriteFile(const QString &path, const QByteArray &content)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
}

// Nested folders and names that are odd but legal.
const QMap<QString, QByteArray> Game = {
    {"game.cfg", "volume=7\n"},
    {"data/maps/level #1 100% & more.map", QByteArray(70000, 'm')},
    {"donn\u00e9es/\u00fcn\u00efc\u00f6d\u00e9.txt", "unicode"},
    {"docs/read me.txt", "read me"},
};

enum class Tamper {
    None,
    FileChangedSameLength,
    WrongSize,
    MalformedHash,
    NoHash,
    OtherKey,
    ListChanged,
    NoSignature,
    OlderThanRecorded,
    Expired,
};

enum class Outcome { Installed, ListRefused, FileFailed };

} // namespace

Q_DECLARE_METATYPE(Tamper)
Q_DECLARE_METATYPE(Outcome)

// A publisher's update made with updater-pack, signed, served by nginx and
// installed by the window; then the same with one thing an attacker or a
// damaged server could change.
class tst_SignedUpdate : public QObject
{
    Q_OBJECT

    QString m_minisign;
    std::unique_ptr<QTemporaryDir> m_dir;
    QList<ModalBoxRequest> m_boxes;
    ModalBoxPresenter m_previousPresenter;

    QString Path(const QString &relative) const { return m_dir->filePath(relative); }

    // Signs the served list again with `key`, with `comment` as the trusted
    // comment when given.
    void Resign(const QString &key, const QString &comment = QString())
    {
        QStringList args = {"-S", "-s", key, "-m", Path("www/srv/updates.txt")};
        if (!comment.isEmpty())
            args << "-t" << comment;
        QCOMPARE(Run(m_minisign, args), 0);
    }

    void EditList(const QByteArray &from, const QByteArray &to)
    {
        QByteArray list = ReadAll(Path("www/srv/updates.txt"));
        const qsizetype at = list.indexOf(from);
        QVERIFY(at >= 0);
        list.replace(at, from.size(), to);
        WriteFile(Path("www/srv/updates.txt"), list);
    }

private slots:
    void initTestCase()
    {
        m_minisign = QStandardPaths::findExecutable("minisign");
        QVERIFY2(!m_minisign.isEmpty(), "minisign is not installed (scripts/setup installs it)");
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir(m_dir->path()).mkpath("program/updates"));
        SetProgramFolder(Path("program"));
        m_boxes.clear();
        m_previousPresenter = SetModalBoxPresenter(
            [this](QWidget *, const ModalBoxRequest &request) { m_boxes.append(request); });
    }

    void cleanup()
    {
        SetModalBoxPresenter(m_previousPresenter);
        SetProgramFolder(QString());
        m_dir.reset();
    }

    void update_data()
    {
        QTest::addColumn<Tamper>("tamper");
        QTest::addColumn<Outcome>("outcome");
        QTest::newRow("round trip") << Tamper::None << Outcome::Installed;
        QTest::newRow("file changed after signing")
            << Tamper::FileChangedSameLength << Outcome::FileFailed;
        QTest::newRow("wrong size") << Tamper::WrongSize << Outcome::FileFailed;
        QTest::newRow("malformed hash") << Tamper::MalformedHash << Outcome::FileFailed;
        QTest::newRow("file not pinned") << Tamper::NoHash << Outcome::FileFailed;
        QTest::newRow("signed by another key") << Tamper::OtherKey << Outcome::ListRefused;
        QTest::newRow("list changed after signing") << Tamper::ListChanged << Outcome::ListRefused;
        QTest::newRow("no signature") << Tamper::NoSignature << Outcome::ListRefused;
        QTest::newRow("older than the list installed")
            << Tamper::OlderThanRecorded << Outcome::ListRefused;
        QTest::newRow("expired") << Tamper::Expired << Outcome::ListRefused;
    }

    void update()
    {
        QFETCH(Tamper, tamper);
        QFETCH(Outcome, outcome);
        const QString pack = QStringLiteral(UPDATER_PACK);
        for (auto it = Game.cbegin(); it != Game.cend(); ++it)
            WriteFile(Path("game/" + it.key()), it.value());
        QVERIFY(QDir(m_dir->path()).mkpath("www"));
        NginxServer nginx(Path("www"));
        QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
        QCOMPARE(Run(pack, {"keygen", Path("key"), Path("key.pub")}), 0);
        QCOMPARE(Run(pack, {"build", Path("game"), Path("www/srv"), "--url", nginx.url("/srv"),
                            "--secret", Path("key"), "--date", "2026-12-07", "--time", "12:00",
                            "--greeting", "Signed greeting"}),
                 0);
        // nginx reads through an unprivileged worker.
        QCOMPARE(Run("chmod", {"-R", "a+rX", Path("www")}), 0);

        const QString mapFile = "data/maps/level #1 100% & more.map";
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        QString recorded;
        switch (tamper) {
        case Tamper::None:
            break;
        case Tamper::FileChangedSameLength:
            WriteFile(Path("www/srv/files/game.cfg"), "volume=9\n");
            break;
        case Tamper::WrongSize:
            EditList("Size=70000\n", "Size=69999\n");
            Resign(Path("key"));
            break;
        case Tamper::MalformedHash:
            EditList("SHA256=", "SHA256=0");
            Resign(Path("key"));
            break;
        case Tamper::NoHash:
            EditList("SHA256=", "Comment=");
            Resign(Path("key"));
            break;
        case Tamper::OtherKey:
            QCOMPARE(Run(pack, {"keygen", Path("other"), Path("other.pub")}), 0);
            Resign(Path("other"));
            break;
        case Tamper::ListChanged:
            EditList("Date=2026-12-07", "Date=2026-12-08");
            break;
        case Tamper::NoSignature:
            QVERIFY(QFile::remove(Path("www/srv/updates.txt.minisig")));
            break;
        case Tamper::OlderThanRecorded:
            recorded = QString::number(now + 3600);
            break;
        case Tamper::Expired:
            Resign(Path("key"), QStringLiteral("timestamp:%1\texpires:%2").arg(now).arg(now - 1));
            break;
        }

        const QString init = Path("program/updates/init.ini");
        const QString publicKey = QString::fromLatin1(ReadAll(Path("key.pub"))).split('\n')[1];
        WriteFile(init,
                  QStringLiteral("[GENERAL]\r\nHello=%1\r\nUpdateFileURL=%2\r\n"
                                 "LastUpdate=\r\nLastUpdateTime=\r\nPublicKey=%3\r\n"
                                 "ListTimestamp=%4\r\n")
                      .arg(nginx.url("/srv/hello.txt"), nginx.url("/srv"), publicKey, recorded)
                      .toUtf8());
        const QByteArray initBefore = ReadAll(init);

        frmUpdate window;
        window.Form_Load();
        QTRY_VERIFY_WITH_TIMEOUT(window.DoneEnabled() || window.IsClosed(), 30000);
        QVERIFY(!window.IsClosed());
        QCOMPARE(m_boxes.size(), 0);
        const QStringList log = window.LogText().split("\r\n");
        QCOMPARE(log.at(1), "Signed greeting");

        QMap<QString, QByteArray> installed = FilesBelow(Path("program"));
        const QByteArray list = installed.take("updates/updates.ini");
        installed.remove("updates/init.ini");
        installed.remove("updates/updater.lock");
        switch (outcome) {
        case Outcome::Installed:
            QCOMPARE(log.last(), "Update Complete");
            QCOMPARE(installed.take("updates/updates.ini.minisig"),
                     ReadAll(Path("www/srv/updates.txt.minisig")));
            QCOMPARE(installed, Game);
            QCOMPARE(ReadIni(init, "GENERAL", "LastUpdate"), "2026-12-07");
            QVERIFY(qAbs(ReadIni(init, "GENERAL", "ListTimestamp").toLongLong() - now) < 60);
            break;
        case Outcome::ListRefused:
            // Nothing of the refused list is kept or acted on.
            QVERIFY(log.contains("Failed to download updates.ini"));
            QCOMPARE(log.last(), "No Files to Update");
            QVERIFY(list.isEmpty());
            QVERIFY(installed.isEmpty());
            QCOMPARE(ReadAll(init), initBefore);
            break;
        case Outcome::FileFailed: {
            const QString failed = tamper == Tamper::FileChangedSameLength ? "game.cfg" : mapFile;
            QVERIFY2(log.contains("Failed to download " + QFileInfo(failed).fileName()),
                     qPrintable(log.join('\n')));
            QVERIFY(!installed.contains(failed));
            QCOMPARE(ReadAll(init), initBefore);
            break;
        }
        }
    }
};

QTEST_MAIN(tst_SignedUpdate)
#include "tst_SignedUpdate.moc"
