#include "update/ProgramFolder.h"
#include "update/UpdateFailure.h"
#include "update/VerifyDir.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

class tst_VerifyDir : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { SetProgramFolder(QString()); }

    // Paths are joined as plain text: no separator added, nothing normalised.
    void programPaths()
    {
        QCOMPARE(ProgramFolder(), QDir::toNativeSeparators(QCoreApplication::applicationDirPath()));
        SetProgramFolder("/games/castle");
        QCOMPARE(InitIniPath(), QDir::toNativeSeparators("/games/castle/updates/init.ini"));
        QCOMPARE(UpdatesIniPath(), QDir::toNativeSeparators("/games/castle/updates/updates.ini"));
        QCOMPARE(ProgramPath("m\\..\\.\\\\x"), QDir::toNativeSeparators("/games/castlem/.././/x"));
    }

    // Missing folders are made along the whole path; a plain file counts as
    // present, but one in the way of a deeper folder fails the run. A
    // wildcard is a name, not a stand-in for an entry that is there.
    void verifyDir()
    {
        QTemporaryDir program;
        QVERIFY(program.isValid());
        SetProgramFolder(program.path());
        const QDir root(program.path());
        QVERIFY(QFile(root.filePath("file")).open(QIODevice::WriteOnly));
        QVERIFY_THROWS_NO_EXCEPTION(VerifyDir("\\data\\maps"));
        QVERIFY_THROWS_NO_EXCEPTION(VerifyDir("\\d*"));
        QVERIFY_THROWS_NO_EXCEPTION(VerifyDir("\\file"));
        QVERIFY_THROWS_EXCEPTION(UpdateFailure, VerifyDir("\\file\\maps"));
        QCOMPARE(root.entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 (QStringList{"d*", "data", "file"}));
        QVERIFY(QFileInfo(root.filePath("data/maps")).isDir());
    }
};

QTEST_GUILESS_MAIN(tst_VerifyDir)
#include "tst_VerifyDir.moc"
