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
    void programPaths();
    void verifyDir_data();
    void verifyDir();
};

void tst_VerifyDir::programPaths()
{
    QCOMPARE(ProgramFolder(), QDir::toNativeSeparators(QCoreApplication::applicationDirPath()));
    SetProgramFolder("/games/castle");
    QCOMPARE(InitIniPath(), QDir::toNativeSeparators("/games/castle/updates/init.ini"));
    QCOMPARE(UpdatesIniPath(), QDir::toNativeSeparators("/games/castle/updates/updates.ini"));
    // Joined as plain text: no separator added, nothing normalised.
    QCOMPARE(ProgramPath("maps"), QDir::toNativeSeparators("/games/castlemaps"));
    QCOMPARE(ProgramPath("\\m\\..\\.\\\\x"), QDir::toNativeSeparators("/games/castle/m/.././/x"));
}

void tst_VerifyDir::verifyDir_data()
{
    // Entries before and after the call: a trailing "/" marks a folder,
    // anything else is a plain file.
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("directory");
    QTest::addColumn<bool>("throws");
    QTest::addColumn<QStringList>("after");

    QTest::newRow("empty: the program folder itself")
        << QStringList{} << "" << false << QStringList{};
    QTest::newRow("nested missing folders created")
        << QStringList{} << "\\data\\maps" << false << QStringList{"data/", "data/maps/"};
    QTest::newRow("existing folder left alone") << QStringList{"data/", "data/keep"} << "\\data"
                                                << false << QStringList{"data/", "data/keep"};
    QTest::newRow("plain file counts as present")
        << QStringList{"data"} << "\\data" << false << QStringList{"data"};
    // A failure must not leave half a path behind.
    QTest::newRow("plain file in the way throws")
        << QStringList{"data"} << "\\data\\maps" << true << QStringList{"data"};
    // A wildcard must not stand for an entry that is there.
    QTest::newRow("wildcard taken literally")
        << QStringList{"data/"} << "\\d*" << false << QStringList{"d*/", "data/"};
}

void tst_VerifyDir::verifyDir()
{
    QFETCH(QStringList, before);
    QFETCH(QString, directory);
    QFETCH(bool, throws);
    QFETCH(QStringList, after);

    QTemporaryDir program;
    QVERIFY(program.isValid());
    const QDir root(program.path());
    for (const QString &entry : before)
        QVERIFY(entry.endsWith('/') ? root.mkpath(entry)
                                    : QFile(root.filePath(entry)).open(QIODevice::WriteOnly));
    SetProgramFolder(program.path());
    if (throws)
        QVERIFY_THROWS_EXCEPTION(UpdateFailure, VerifyDir(directory));
    else
        QVERIFY_THROWS_NO_EXCEPTION(VerifyDir(directory));

    QStringList found;
    QDirIterator it(program.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString entry = root.relativeFilePath(it.next());
        found << (it.fileInfo().isDir() ? entry + '/' : entry);
    }
    found.sort();
    QCOMPARE(found, after);
}

QTEST_GUILESS_MAIN(tst_VerifyDir)
#include "tst_VerifyDir.moc"
