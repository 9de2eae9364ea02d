#include "update/FileNameGuard.h"
#include "update/ProgramFolder.h"

#include <QtTest>

class tst_FileNameGuard : public QObject
{
    Q_OBJECT

private slots:
    void guards_data();
    void guards();
};

void tst_FileNameGuard::guards_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("inside");
    QTest::addColumn<bool>("kept"); // the name below the program folder is a profile or the program
    // Dots that are part of a name, or a lone ".", do not climb.
    QTest::newRow("dots inside a name") << "a..b.txt" << true << false;
    QTest::newRow("current folder") << "\\.\\data" << true << false;
    // Only splitting at both separators finds the "..".
    QTest::newRow("parent, mixed separators") << "\\data/..\\x" << false << false;
    // Windows reads these components as "..".
    QTest::newRow("three dots") << "\\..." << false << false;
    QTest::newRow("dots and blank") << "\\.. \\x" << false << false;
    QTest::newRow("drive") << "c:\\windows" << false << false;
    QTest::newRow("updates.ini, other case") << "\\UPDATES\\Updates.Ini" << true << true;
    QTest::newRow("init.ini, doubled separator") << "\\updates\\\\init.ini" << true << true;
    QTest::newRow("init.ini elsewhere") << "\\data\\init.ini" << true << false;
    // Windows drops the trailing dots and blanks of a name.
    const QString program = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    QTest::newRow("program, trailing dot and blank") << "/" + program + ". " << true << true;
    QTest::newRow("program in a subfolder") << "\\data\\" + program << true << false;
    QTest::newRow("program through \\.\\ and \\\\")
        << "\\.\\\\" + program.toUpper() << true << true;
}

void tst_FileNameGuard::guards()
{
    QFETCH(QString, name);
    QFETCH(bool, inside);
    QFETCH(bool, kept);
    SetProgramFolder(QStringLiteral("/opt/game"));
    QCOMPARE(FileNameGuard::StaysInside(name), inside);
    QCOMPARE(FileNameGuard::IsProtected(ProgramPath(name)), kept);
}

QTEST_GUILESS_MAIN(tst_FileNameGuard)
#include "tst_FileNameGuard.moc"
