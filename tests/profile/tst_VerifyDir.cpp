#include "profile/ProgramFolder.h"
#include "profile/UpdateFailure.h"
#include "profile/VerifyDir.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class tst_VerifyDir : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { SetProgramFolder(QString()); }

    void programFolderDefaultsToTheExecutablesFolder();
    void programPath_data();
    void programPath();
    void profilePaths();
    void verifyDir_data();
    void verifyDir();
    void verifyDirWithoutPermissionThrows();
};

void tst_VerifyDir::programFolderDefaultsToTheExecutablesFolder()
{
    QCOMPARE(ProgramFolder(), QDir::toNativeSeparators(QCoreApplication::applicationDirPath()));
    SetProgramFolder("/games/castle");
    QCOMPARE(ProgramFolder(), QDir::toNativeSeparators("/games/castle"));
    SetProgramFolder(QString());
    QCOMPARE(ProgramFolder(), QDir::toNativeSeparators(QCoreApplication::applicationDirPath()));
}

void tst_VerifyDir::programPath_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("expected");

    QTest::newRow("profile") << "/games/castle"
                             << "\\updates\\init.ini"
                             << "/games/castle/updates/init.ini";
    QTest::newRow("empty suffix") << "/games/castle"
                                  << ""
                                  << "/games/castle";
    QTest::newRow("joined as text") << "/games/castle"
                                    << "maps"
                                    << "/games/castlemaps";
    QTest::newRow("root folder keeps its separator") << "/"
                                                     << "\\updates\\init.ini"
                                                     << "//updates/init.ini";
    QTest::newRow("not normalised") << "/games/castle"
                                    << "\\maps\\..\\.\\x"
                                    << "/games/castle/maps/.././x";
    QTest::newRow("doubled separators kept") << "/games/castle"
                                             << "\\\\maps"
                                             << "/games/castle//maps";
}

void tst_VerifyDir::programPath()
{
    QFETCH(QString, folder);
    QFETCH(QString, suffix);
    QFETCH(QString, expected);

    SetProgramFolder(folder);
    QCOMPARE(ProgramPath(suffix), QDir::toNativeSeparators(expected));
}

void tst_VerifyDir::profilePaths()
{
    SetProgramFolder("/games/castle");
    QCOMPARE(InitIniPath(), QDir::toNativeSeparators("/games/castle/updates/init.ini"));
    QCOMPARE(UpdatesIniPath(), QDir::toNativeSeparators("/games/castle/updates/updates.ini"));
}

void tst_VerifyDir::verifyDir_data()
{
    // Entries made before the call: a trailing "/" makes a folder, anything
    // else a plain file holding its own name.
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QString>("directory");
    QTest::addColumn<bool>("throws");
    QTest::addColumn<QStringList>("foldersAfter");
    QTest::addColumn<QStringList>("filesAfter");

    QTest::newRow("empty: the program folder itself")
        << QStringList{} << "" << false << QStringList{} << QStringList{};
    QTest::newRow("missing folder created")
        << QStringList{} << "\\data" << false << QStringList{"data"} << QStringList{};
    QTest::newRow("nested missing folders created")
        << QStringList{} << "\\data\\maps\\north" << false
        << QStringList{"data", "data/maps", "data/maps/north"} << QStringList{};
    QTest::newRow("missing folder inside an existing one")
        << QStringList{"data/"} << "\\data\\maps" << false << QStringList{"data", "data/maps"}
        << QStringList{};
    QTest::newRow("existing folder left alone")
        << QStringList{"data/", "data/keep.txt"} << "\\data" << false << QStringList{"data"}
        << QStringList{"data/keep.txt"};
    QTest::newRow("trailing separator")
        << QStringList{} << "\\data\\" << false << QStringList{"data"} << QStringList{};
    QTest::newRow("plain file of that name counts as present")
        << QStringList{"data"} << "\\data" << false << QStringList{} << QStringList{"data"};
    QTest::newRow("plain file in the way throws")
        << QStringList{"data"} << "\\data\\maps" << true << QStringList{} << QStringList{"data"};
    QTest::newRow("star taken literally")
        << QStringList{"data/"} << "\\d*" << false << QStringList{"data", "d*"} << QStringList{};
    QTest::newRow("question mark taken literally") << QStringList{"data/"} << "\\d?ta" << false
                                                   << QStringList{"data", "d?ta"} << QStringList{};
}

void tst_VerifyDir::verifyDir()
{
    QFETCH(QStringList, present);
    QFETCH(QString, directory);
    QFETCH(bool, throws);
    QFETCH(QStringList, foldersAfter);
    QFETCH(QStringList, filesAfter);

    QTemporaryDir program;
    QVERIFY(program.isValid());
    QDir root(program.path());
    for (const QString &entry : present) {
        if (entry.endsWith('/')) {
            QVERIFY(root.mkpath(entry));
        } else {
            QFile file(root.filePath(entry));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(entry.toUtf8());
        }
    }
    SetProgramFolder(program.path());

    bool thrown = false;
    try {
        VerifyDir(directory);
    } catch (const UpdateFailure &) {
        thrown = true;
    }
    QCOMPARE(thrown, throws);

    for (const QString &folder : foldersAfter)
        QVERIFY2(QFileInfo(root.filePath(folder)).isDir(), qPrintable(folder));
    for (const QString &name : filesAfter) {
        QFile file(root.filePath(name));
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(name));
        QCOMPARE(file.readAll(), name.toUtf8());
    }
    // Nothing beyond what is listed: a wildcard must not stand for an entry
    // that is there, and a failure must not leave half a path behind.
    QStringList everything;
    for (const QString &folder : foldersAfter)
        everything << folder;
    for (const QString &name : filesAfter)
        everything << name;
    QStringList found;
    QDirIterator it(program.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found << root.relativeFilePath(it.next());
    everything.sort();
    found.sort();
    QCOMPARE(found, everything);
}

void tst_VerifyDir::verifyDirWithoutPermissionThrows()
{
    QTemporaryDir program;
    QVERIFY(program.isValid());
    QDir root(program.path());
    QVERIFY(root.mkpath("locked"));
    QVERIFY(QFile::setPermissions(root.filePath("locked"),
                                  QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const auto restore = qScopeGuard([&] {
        QFile::setPermissions(root.filePath("locked"), QFileDevice::ReadOwner |
                                                           QFileDevice::WriteOwner |
                                                           QFileDevice::ExeOwner);
    });
    if (QDir(root.filePath("locked")).mkdir("probe"))
        QSKIP("this user creates folders regardless of their permissions");

    SetProgramFolder(program.path());
    QVERIFY_THROWS_EXCEPTION(UpdateFailure, VerifyDir("\\locked\\maps"));
    QVERIFY(!QFileInfo::exists(root.filePath("locked/maps")));
}

QTEST_GUILESS_MAIN(tst_VerifyDir)
#include "tst_VerifyDir.moc"
