#include "profile/ProgramFolder.h"
#include "update/FileNameGuard.h"

#include <QtTest>

class tst_FileNameGuard : public QObject
{
    Q_OBJECT

private slots:
    void staysInside_data();
    void staysInside();
    void isProfile_data();
    void isProfile();
};

void tst_FileNameGuard::staysInside_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("inside");
    QTest::newRow("empty") << "" << true;
    QTest::newRow("plain name") << "game.cfg" << true;
    QTest::newRow("folders") << "\\data\\maps" << true;
    QTest::newRow("forward slashes") << "/data/maps" << true;
    QTest::newRow("dots inside a name") << "a..b.txt" << true;
    QTest::newRow("leading dots of a name") << "..hidden" << true;
    QTest::newRow("current folder") << "\\.\\data" << true;
    QTest::newRow("parent") << ".." << false;
    QTest::newRow("parent with backslashes") << "\\data\\..\\.." << false;
    QTest::newRow("parent with slashes") << "data/../../x" << false;
    QTest::newRow("mixed separators") << "..\\../x" << false;
    QTest::newRow("three dots") << "\\..." << false;
    QTest::newRow("dots and blank") << "\\.. \\x" << false;
    QTest::newRow("drive") << "c:\\windows" << false;
    QTest::newRow("stream") << "file.txt:evil" << false;
}

void tst_FileNameGuard::staysInside()
{
    QFETCH(QString, name);
    QFETCH(bool, inside);
    QCOMPARE(FileNameGuard::StaysInside(name), inside);
}

void tst_FileNameGuard::isProfile_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<bool>("profile");
    QTest::newRow("init.ini") << "\\updates\\init.ini" << true;
    QTest::newRow("updates.ini, other case") << "\\UPDATES\\Updates.Ini" << true;
    QTest::newRow("doubled separator") << "\\updates\\\\init.ini" << true;
    QTest::newRow("current folder") << "\\.\\updates\\init.ini" << true;
    QTest::newRow("other file there") << "\\updates\\notes.ini" << false;
    QTest::newRow("init.ini elsewhere") << "\\data\\init.ini" << false;
}

void tst_FileNameGuard::isProfile()
{
    QFETCH(QString, suffix);
    QFETCH(bool, profile);
    SetProgramFolder(QStringLiteral("/opt/game"));
    QCOMPARE(FileNameGuard::IsProfile(ProgramPath(suffix)), profile);
    SetProgramFolder(QString());
}

QTEST_GUILESS_MAIN(tst_FileNameGuard)
#include "tst_FileNameGuard.moc"
