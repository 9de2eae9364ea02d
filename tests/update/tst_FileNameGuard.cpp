#include "profile/ProgramFolder.h"
#include "update/FileNameGuard.h"

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
    QTest::addColumn<bool>("profile"); // of the name below the program folder
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
}

void tst_FileNameGuard::guards()
{
    QFETCH(QString, name);
    QFETCH(bool, inside);
    QFETCH(bool, profile);
    SetProgramFolder(QStringLiteral("/opt/game"));
    QCOMPARE(FileNameGuard::StaysInside(name), inside);
    QCOMPARE(FileNameGuard::IsProfile(ProgramPath(name)), profile);
}

QTEST_GUILESS_MAIN(tst_FileNameGuard)
#include "tst_FileNameGuard.moc"
