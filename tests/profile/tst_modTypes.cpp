#include "profile/ProfileFile.h"
#include "profile/modTypes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class tst_modTypes : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString path(const QString &name) const { return m_dir.filePath(name); }

    static void store(const QString &file, const QByteArray &content)
    {
        QFile out(file);
        QVERIFY2(out.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(file));
        QCOMPARE(out.write(content), content.size());
    }

    static QByteArray contentOf(const QString &file)
    {
        QFile in(file);
        if (!in.open(QIODevice::ReadOnly))
            return "<unreadable>";
        return in.readAll();
    }

    // True when the permission bits really keep this process from writing
    // `file` (they do not for an administrator).
    static bool writeIsRefused(const QString &file)
    {
        QFile probe(file);
        return !probe.open(QIODevice::WriteOnly | QIODevice::Append);
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void read_data();
    void read();
    void readCutsLongValues_data();
    void readCutsLongValues();
    void readMissingFileOrFolder();
    void readSeesEveryChange();
    void write_data();
    void write();
    void writeRefusesWhatCannotReadBack_data();
    void writeRefusesWhatCannotReadBack();
    void roundTrip_data();
    void roundTrip();
    void writeIntoMissingFolderIsSilent();
    void writeThroughPlainFileIsSilent();
    void writeOntoFolderIsSilent();
    void writeToReadOnlyFileIsRefused();
    void writeIntoReadOnlyFolderIsRefused();
    void writeLeavesNoTemporaryFiles();
};

void tst_modTypes::read_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    const QByteArray init = "[GENERAL]\r\nHello=http://example.com/hello.txt\r\n"
                            "UpdateFileURL=http://example.com/game\r\n"
                            "LastUpdate=12/05/2026\r\nLastUpdateTime=10:30 PM\r\n";
    QTest::newRow("plain") << init << "GENERAL"
                           << "UpdateFileURL"
                           << "http://example.com/game";
    QTest::newRow("last key") << init << "GENERAL"
                              << "LastUpdateTime"
                              << "10:30 PM";
    QTest::newRow("names ignore case") << init << "general"
                                       << "LASTUPDATE"
                                       << "12/05/2026";
    QTest::newRow("missing key") << init << "GENERAL"
                                 << "Date"
                                 << "";
    QTest::newRow("missing section") << init << "FILE1"
                                     << "Hello"
                                     << "";
    QTest::newRow("empty file") << QByteArray() << "GENERAL"
                                << "Hello"
                                << "";
    QTest::newRow("empty value") << QByteArray("[GENERAL]\r\nTotalFiles=\r\n") << "GENERAL"
                                 << "TotalFiles"
                                 << "";
    QTest::newRow("blank value") << QByteArray("[GENERAL]\r\nTotalFiles=  \t \r\n") << "GENERAL"
                                 << "TotalFiles"
                                 << "";
    QTest::newRow("blanks around names and value")
        << QByteArray("  [  GENERAL  ]  \r\n \t Date \t =  \t 12/05/2026  two  \t \r\n")
        << "GENERAL"
        << "Date"
        << "12/05/2026  two";
    QTest::newRow("blanks around the asked names") << init << " GENERAL "
                                                   << "\tHello "
                                                   << "http://example.com/hello.txt";
    QTest::newRow("double quotes")
        << QByteArray("[GENERAL]\r\nDate=\"  12/05  \"  \r\n") << "GENERAL"
        << "Date"
        << "  12/05  ";
    QTest::newRow("single quotes") << QByteArray("[GENERAL]\r\nDate='a b'\r\n") << "GENERAL"
                                   << "Date"
                                   << "a b";
    QTest::newRow("only the outer quotes go")
        << QByteArray("[GENERAL]\r\nDate=\"\"x\"\"\r\n") << "GENERAL"
        << "Date"
        << "\"x\"";
    QTest::newRow("mismatched quotes stay") << QByteArray("[GENERAL]\r\nDate=\"x'\r\n") << "GENERAL"
                                            << "Date"
                                            << "\"x'";
    QTest::newRow("lone quote stays") << QByteArray("[GENERAL]\r\nDate=\"\r\n") << "GENERAL"
                                      << "Date"
                                      << "\"";
    QTest::newRow("inner quotes stay") << QByteArray("[GENERAL]\r\nDate=a \"b\" c\r\n") << "GENERAL"
                                       << "Date"
                                       << "a \"b\" c";
    QTest::newRow("equals signs in value")
        << QByteArray("[FILE1]\r\nURL==http://h/get?a=1&b=2\r\n") << "FILE1"
        << "URL"
        << "=http://h/get?a=1&b=2";
    QTest::newRow("commented key skipped")
        << QByteArray("[GENERAL]\r\n;Date=old\r\n  ; Date=older\r\nDate=new\r\n") << "GENERAL"
        << "Date"
        << "new";
    QTest::newRow("comment only") << QByteArray("[GENERAL]\r\n;Date=old\r\n") << "GENERAL"
                                  << "Date"
                                  << "";
    QTest::newRow("line without equals sign")
        << QByteArray("[GENERAL]\r\nDate\r\nTime=1\r\n") << "GENERAL"
        << "Date"
        << "";
    QTest::newRow("key name is not a prefix")
        << QByteArray("[GENERAL]\r\nDates=1\r\nDat=2\r\n") << "GENERAL"
        << "Date"
        << "";
    QTest::newRow("repeated key: first wins")
        << QByteArray("[GENERAL]\r\nDate=first\r\nDATE=second\r\n") << "GENERAL"
        << "Date"
        << "first";
    QTest::newRow("repeated section: first wins")
        << QByteArray("[GENERAL]\r\nDate=first\r\n[general]\r\nDate=second\r\n") << "GENERAL"
        << "Date"
        << "first";
    QTest::newRow("repeated section: later one not searched")
        << QByteArray("[GENERAL]\r\nDate=d\r\n[GENERAL]\r\nTime=t\r\n") << "GENERAL"
        << "Time"
        << "";
    QTest::newRow("key of the next section not taken")
        << QByteArray("[GENERAL]\r\nTotalFiles=1\r\n[FILE1]\r\nDate=x\r\n") << "GENERAL"
        << "Date"
        << "";
    QTest::newRow("key before any section")
        << QByteArray("Date=stray\r\n[GENERAL]\r\nTime=t\r\n") << "GENERAL"
        << "Date"
        << "";
    QTest::newRow("unclosed section line opens nothing")
        << QByteArray("[OTHER]\r\nA=1\r\n[GENERAL\r\nDate=d\r\n") << "GENERAL"
        << "Date"
        << "";
    QTest::newRow("unclosed section line ends nothing")
        << QByteArray("[OTHER]\r\nA=1\r\n[GENERAL\r\nDate=d\r\n") << "OTHER"
        << "Date"
        << "d";
    QTest::newRow("text after the closing bracket")
        << QByteArray("[GENERAL] ; main\r\nDate=d\r\n") << "GENERAL"
        << "Date"
        << "d";
    QTest::newRow("value without key is no key")
        << QByteArray("[GENERAL]\r\n=orphan\r\n  =orphan too\r\nDate=d\r\n") << "GENERAL"
        << ""
        << "";
    QTest::newRow("value without key skipped")
        << QByteArray("[GENERAL]\r\n=orphan\r\nDate=d\r\n") << "GENERAL"
        << "Date"
        << "d";
    QTest::newRow("LF line endings") << QByteArray("[GENERAL]\nDate=d\nTime=t\n") << "GENERAL"
                                     << "Date"
                                     << "d";
    QTest::newRow("mixed line endings") << QByteArray("[GENERAL]\nDate=d\r\nTime=t\n") << "GENERAL"
                                        << "Date"
                                        << "d";
    QTest::newRow("no final line break") << QByteArray("[GENERAL]\r\nDate=d\r\nTime=t") << "GENERAL"
                                         << "Time"
                                         << "t";
    QTest::newRow("blank lines between")
        << QByteArray("\r\n\r\n[GENERAL]\r\n\r\n\r\nTime=t\r\n") << "GENERAL"
        << "Time"
        << "t";
    QTest::newRow("byte order mark")
        << QByteArray("\xEF\xBB\xBF[GENERAL]\r\nTime=t\r\n") << "GENERAL"
        << "Time"
        << "t";
    QTest::newRow("UTF-8 value") << QByteArray("[GENERAL]\r\nHello=Grüße ✓\r\n") << "GENERAL"
                                 << "Hello" << QString::fromUtf8("Grüße ✓");
    QTest::newRow("UTF-8 names ignore case")
        << QByteArray("[ÜBER]\r\nSCHLÜSSEL=v\r\n") << QString::fromUtf8("über")
        << QString::fromUtf8("schlüssel") << "v";
    QTest::newRow("server list") << QByteArray("[GENERAL]\nTotalFiles=2\nDate=1/2/2026\n"
                                               "[FILE1]\nURL=http://h/a\nSavePath=\\maps\n"
                                               "FileName=a.map\n[FILE2]\nURL=http://h/b\n"
                                               "SavePath=\nFileName=b.exe\n")
                                 << "FILE2"
                                 << "FileName"
                                 << "b.exe";
    QTest::newRow("server list, empty SavePath")
        << QByteArray("[FILE2]\nURL=http://h/b\nSavePath=\nFileName=b.exe\n") << "FILE2"
        << "SavePath"
        << "";
}

void tst_modTypes::read()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, expected);

    const QString file = path("read.ini");
    store(file, content);
    QCOMPARE(ReadIni(file, section, key), expected);
}

void tst_modTypes::readCutsLongValues_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray limit(ProfileFile::MaxValueLength, 'a');
    QTest::newRow("6000 bytes") << QByteArray(6000, 'a') << limit;
    QTest::newRow("4999 bytes") << limit << limit;
    QTest::newRow("5000 bytes") << QByteArray(5000, 'a') << limit;
    QTest::newRow("quoted 6000 bytes") << '"' + QByteArray(6000, 'a') + '"' << limit;
    QTest::newRow("quoted 4999 bytes") << '"' + limit + '"' << limit;
    // "é" takes two bytes; the limit falls between them.
    const QByteArray head(ProfileFile::MaxValueLength - 1, 'a');
    QTest::newRow("no broken character") << head + "ééé" << head;
    QTest::newRow("character ends at the limit")
        << head.chopped(1) + "ééé" << head.chopped(1) + "é";
}

void tst_modTypes::readCutsLongValues()
{
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, expected);

    const QString file = path("long.ini");
    store(file, "[GENERAL]\r\nHello=" + value + "\r\nDate=after\r\n");
    QCOMPARE(ReadIni(file, "GENERAL", "Hello").toUtf8(), expected);
    QCOMPARE(ReadIni(file, "GENERAL", "Date"), QString("after"));
}

void tst_modTypes::readMissingFileOrFolder()
{
    QCOMPARE(ReadIni(path("absent.ini"), "GENERAL", "Hello"), QString());
    QCOMPARE(ReadIni(path("absent/init.ini"), "GENERAL", "Hello"), QString());
    QCOMPARE(ReadIni(m_dir.path(), "GENERAL", "Hello"), QString());
}

void tst_modTypes::readSeesEveryChange()
{
    const QString file = path("changing.ini");
    store(file, "[GENERAL]\r\nDate=one\r\n");
    QCOMPARE(ReadIni(file, "GENERAL", "Date"), QString("one"));
    store(file, "[GENERAL]\r\nDate=two\r\n");
    QCOMPARE(ReadIni(file, "GENERAL", "Date"), QString("two"));
    QVERIFY(QFile::remove(file));
    QCOMPARE(ReadIni(file, "GENERAL", "Date"), QString());
}

void tst_modTypes::write_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("creates missing file")
        << false << QByteArray() << "GENERAL"
        << "LastUpdate"
        << "12/05/2026" << QByteArray("[GENERAL]\r\nLastUpdate=12/05/2026\r\n");
    QTest::newRow("fills empty file") << true << QByteArray() << "GENERAL"
                                      << "LastUpdate"
                                      << "x" << QByteArray("[GENERAL]\r\nLastUpdate=x\r\n");
    QTest::newRow("replaces in place")
        << true << QByteArray("[GENERAL]\r\nHello=h\r\nLastUpdate=old\r\nLastUpdateTime=t\r\n")
        << "GENERAL"
        << "LastUpdate"
        << "12/05/2026"
        << QByteArray("[GENERAL]\r\nHello=h\r\nLastUpdate=12/05/2026\r\nLastUpdateTime=t\r\n");
    QTest::newRow("replace keeps the line's own spelling")
        << true << QByteArray("[general]\r\n  lastupdate =  old value \t\r\n") << "GENERAL"
        << "LastUpdate"
        << "new" << QByteArray("[general]\r\n  lastupdate =  new \t\r\n");
    QTest::newRow("replaces quoted value")
        << true << QByteArray("[GENERAL]\r\nLastUpdate=\"old\"\r\n") << "GENERAL"
        << "LastUpdate"
        << "new" << QByteArray("[GENERAL]\r\nLastUpdate=new\r\n");
    QTest::newRow("replaces empty value")
        << true << QByteArray("[GENERAL]\r\nLastUpdate=\r\nX=1\r\n") << "GENERAL"
        << "LastUpdate"
        << "new" << QByteArray("[GENERAL]\r\nLastUpdate=new\r\nX=1\r\n");
    QTest::newRow("replaces only the first of repeated keys")
        << true << QByteArray("[GENERAL]\r\nLastUpdate=a\r\nLastUpdate=b\r\n") << "GENERAL"
        << "LastUpdate"
        << "n" << QByteArray("[GENERAL]\r\nLastUpdate=n\r\nLastUpdate=b\r\n");
    QTest::newRow("replaces in the last line without line break")
        << true << QByteArray("[GENERAL]\r\nLastUpdate=old") << "GENERAL"
        << "LastUpdate"
        << "n" << QByteArray("[GENERAL]\r\nLastUpdate=n");
    QTest::newRow("adds key after the section's last key")
        << true << QByteArray("[GENERAL]\r\nHello=h\r\n\r\n; the files\r\n[FILE1]\r\nURL=u\r\n")
        << "GENERAL"
        << "LastUpdate"
        << "n"
        << QByteArray(
               "[GENERAL]\r\nHello=h\r\nLastUpdate=n\r\n\r\n; the files\r\n[FILE1]\r\nURL=u\r\n");
    QTest::newRow("adds key before a trailing comment")
        << true << QByteArray("[GENERAL]\r\nHello=h\r\n;note\r\n") << "GENERAL"
        << "LastUpdate"
        << "n" << QByteArray("[GENERAL]\r\nHello=h\r\nLastUpdate=n\r\n;note\r\n");
    QTest::newRow("adds key to empty section")
        << true << QByteArray("[GENERAL]\r\n\r\n[FILE1]\r\n") << "GENERAL"
        << "LastUpdate"
        << "n" << QByteArray("[GENERAL]\r\nLastUpdate=n\r\n\r\n[FILE1]\r\n");
    QTest::newRow("adds key after a last line without line break")
        << true << QByteArray("[GENERAL]\r\nHello=h") << "GENERAL"
        << "LastUpdate"
        << "n" << QByteArray("[GENERAL]\r\nHello=h\r\nLastUpdate=n");
    QTest::newRow("adds key after section line without line break")
        << true << QByteArray("[GENERAL]") << "GENERAL"
        << "LastUpdate"
        << "n" << QByteArray("[GENERAL]\r\nLastUpdate=n");
    QTest::newRow("adds key into the first of repeated sections")
        << true << QByteArray("[GENERAL]\r\nA=1\r\n[GENERAL]\r\nB=2\r\n") << "GENERAL"
        << "B"
        << "3" << QByteArray("[GENERAL]\r\nA=1\r\nB=3\r\n[GENERAL]\r\nB=2\r\n");
    QTest::newRow("keeps LF line endings")
        << true << QByteArray("[GENERAL]\nHello=h\n") << "GENERAL"
        << "LastUpdate"
        << "n" << QByteArray("[GENERAL]\nHello=h\nLastUpdate=n\n");
    QTest::newRow("adds section at the end")
        << true << QByteArray("[OTHER]\r\nA=1\r\n") << "GENERAL"
        << "LastUpdate"
        << "n" << QByteArray("[OTHER]\r\nA=1\r\n[GENERAL]\r\nLastUpdate=n\r\n");
    QTest::newRow("adds section after a last line without line break")
        << true << QByteArray("[OTHER]\nA=1") << "GENERAL"
        << "LastUpdate"
        << "n" << QByteArray("[OTHER]\nA=1\n[GENERAL]\nLastUpdate=n\n");
    QTest::newRow("unclosed section line is not the section")
        << true << QByteArray("[GENERAL\r\nA=1\r\n") << "GENERAL"
        << "LastUpdate"
        << "n" << QByteArray("[GENERAL\r\nA=1\r\n[GENERAL]\r\nLastUpdate=n\r\n");
    QTest::newRow("key before any section untouched")
        << true << QByteArray("LastUpdate=stray\r\n[GENERAL]\r\n") << "GENERAL"
        << "LastUpdate"
        << "n" << QByteArray("LastUpdate=stray\r\n[GENERAL]\r\nLastUpdate=n\r\n");
    QTest::newRow("commented key untouched")
        << true << QByteArray("[GENERAL]\r\n;LastUpdate=old\r\n") << "GENERAL"
        << "LastUpdate"
        << "n" << QByteArray("[GENERAL]\r\nLastUpdate=n\r\n;LastUpdate=old\r\n");
    QTest::newRow("byte order mark kept")
        << true << QByteArray("\xEF\xBB\xBF[GENERAL]\r\nA=1\r\n") << "GENERAL"
        << "A"
        << "2" << QByteArray("\xEF\xBB\xBF[GENERAL]\r\nA=2\r\n");
    QTest::newRow("blanks around the given names dropped")
        << false << QByteArray() << " GENERAL "
        << " LastUpdate\t"
        << "n" << QByteArray("[GENERAL]\r\nLastUpdate=n\r\n");
    QTest::newRow("value with outer blanks quoted")
        << false << QByteArray() << "GENERAL"
        << "LastUpdate"
        << " padded " << QByteArray("[GENERAL]\r\nLastUpdate=\" padded \"\r\n");
    QTest::newRow("value in quotes quoted again")
        << false << QByteArray() << "GENERAL"
        << "LastUpdate"
        << "'q'" << QByteArray("[GENERAL]\r\nLastUpdate=\"'q'\"\r\n");
    QTest::newRow("inner blanks and quotes not quoted")
        << false << QByteArray() << "GENERAL"
        << "LastUpdate"
        << "Last \"Update\" Canceled"
        << QByteArray("[GENERAL]\r\nLastUpdate=Last \"Update\" Canceled\r\n");
    QTest::newRow("UTF-8 value") << false << QByteArray() << "GENERAL"
                                 << "LastUpdate" << QString::fromUtf8("5. Dezember ✓")
                                 << QByteArray("[GENERAL]\r\nLastUpdate=5. Dezember ✓\r\n");
}

void tst_modTypes::write()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, before);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);

    const QString file = path("write.ini");
    QFile::remove(file);
    if (exists)
        store(file, before);
    WriteIni(file, section, key, value);
    QCOMPARE(contentOf(file), after);
}

void tst_modTypes::writeRefusesWhatCannotReadBack_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");

    QTest::newRow("line break in value") << "GENERAL"
                                         << "LastUpdate"
                                         << "a\r\nInjected=1";
    QTest::newRow("LF in value") << "GENERAL"
                                 << "LastUpdate"
                                 << "a\nb";
    QTest::newRow("CR in value") << "GENERAL"
                                 << "LastUpdate"
                                 << "a\rb";
    QTest::newRow("line break in key") << "GENERAL"
                                       << "Last\nUpdate"
                                       << "v";
    QTest::newRow("line break in section") << "GEN\r\n[X"
                                           << "LastUpdate"
                                           << "v";
    QTest::newRow("equals sign in key") << "GENERAL"
                                        << "Last=Update"
                                        << "v";
    QTest::newRow("empty key") << "GENERAL"
                               << ""
                               << "v";
    QTest::newRow("blank key") << "GENERAL"
                               << "  "
                               << "v";
    QTest::newRow("key like a section") << "GENERAL"
                                        << "[FILE1]"
                                        << "v";
    QTest::newRow("key like a comment") << "GENERAL"
                                        << ";LastUpdate"
                                        << "v";
    QTest::newRow("bracket in section") << "GEN]ERAL"
                                        << "LastUpdate"
                                        << "v";
}

void tst_modTypes::writeRefusesWhatCannotReadBack()
{
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);

    const QByteArray before = "[GENERAL]\r\nLastUpdate=old\r\n";
    const QString file = path("refused.ini");
    store(file, before);
    WriteIni(file, section, key, value);
    QCOMPARE(contentOf(file), before);
}

void tst_modTypes::roundTrip_data()
{
    QTest::addColumn<QString>("value");

    QTest::newRow("plain") << "12/05/2026";
    QTest::newRow("empty") << "";
    QTest::newRow("canceled") << "Last Update Canceled";
    QTest::newRow("leading blank") << " x";
    QTest::newRow("trailing blank") << "x ";
    QTest::newRow("only blanks") << "   ";
    QTest::newRow("tabs outside") << "\tx\t";
    QTest::newRow("double quoted") << "\"x\"";
    QTest::newRow("single quoted") << "'x'";
    QTest::newRow("two quotes") << "\"\"";
    QTest::newRow("lone quote") << "\"";
    QTest::newRow("quote and blank") << " \"";
    QTest::newRow("opening quote only") << "\"half";
    QTest::newRow("equals signs") << "a=b = c=";
    QTest::newRow("leading equals sign") << "=x";
    QTest::newRow("like a comment") << "; not a comment";
    QTest::newRow("like a section") << "[FILE1]";
    QTest::newRow("backslashes") << "\\maps\\x";
    QTest::newRow("non-ASCII") << QString::fromUtf8("Grüße ✓ 日本語");
    QTest::newRow("4999 bytes") << QString(ProfileFile::MaxValueLength, u'v');
}

void tst_modTypes::roundTrip()
{
    QFETCH(QString, value);

    const QString file = path("roundtrip.ini");
    const QByteArray neighbours = "[GENERAL]\r\nHello=h\r\nLastUpdate=old\r\n"
                                  "LastUpdateTime=t\r\n[FILE1]\r\nLastUpdate=f\r\n";
    store(file, neighbours);
    WriteIni(file, "GENERAL", "LastUpdate", value);
    QCOMPARE(ReadIni(file, "GENERAL", "LastUpdate"), value);
    WriteIni(file, "GENERAL", "Added", value);
    QCOMPARE(ReadIni(file, "GENERAL", "Added"), value);
    WriteIni(file, "NEW", "Key", value);
    QCOMPARE(ReadIni(file, "NEW", "Key"), value);

    QCOMPARE(ReadIni(file, "GENERAL", "Hello"), QString("h"));
    QCOMPARE(ReadIni(file, "GENERAL", "LastUpdateTime"), QString("t"));
    QCOMPARE(ReadIni(file, "FILE1", "LastUpdate"), QString("f"));
}

void tst_modTypes::writeIntoMissingFolderIsSilent()
{
    const QString file = path("missing/init.ini");
    WriteIni(file, "GENERAL", "LastUpdate", "x");
    QVERIFY(!QFileInfo::exists(file));
    QVERIFY(!QFileInfo::exists(path("missing")));
}

void tst_modTypes::writeThroughPlainFileIsSilent()
{
    const QString plain = path("plain");
    store(plain, "not a folder");
    WriteIni(plain + "/init.ini", "GENERAL", "LastUpdate", "x");
    QVERIFY(QFileInfo(plain).isFile());
    QCOMPARE(contentOf(plain), QByteArray("not a folder"));
}

void tst_modTypes::writeOntoFolderIsSilent()
{
    const QString folder = path("folder.ini");
    QVERIFY(QDir().mkpath(folder));
    WriteIni(folder, "GENERAL", "LastUpdate", "x");
    QVERIFY(QFileInfo(folder).isDir());
}

void tst_modTypes::writeToReadOnlyFileIsRefused()
{
    const QString file = path("readonly.ini");
    const QByteArray before = "[GENERAL]\r\nLastUpdate=old\r\n";
    store(file, before);
    QVERIFY(QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::ReadGroup |
                                            QFileDevice::ReadOther));
    const auto restore = qScopeGuard(
        [&] { QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner); });
    if (!writeIsRefused(file))
        QSKIP("this user writes read-only files regardless of their permissions");

    WriteIni(file, "GENERAL", "LastUpdate", "new");
    QCOMPARE(contentOf(file), before);
}

void tst_modTypes::writeIntoReadOnlyFolderIsRefused()
{
    const QString folder = path("readonly-folder");
    QVERIFY(QDir().mkpath(folder));
    const QString file = folder + "/init.ini";
    const QByteArray before = "[GENERAL]\r\nLastUpdate=old\r\n";
    store(file, before);
    QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const auto restore = qScopeGuard([&] {
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner);
    });
    if (!writeIsRefused(folder + "/probe"))
        QSKIP("this user writes into read-only folders regardless of their permissions");

    WriteIni(file, "GENERAL", "LastUpdate", "new");
    QCOMPARE(contentOf(file), before);
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"init.ini"});
}

void tst_modTypes::writeLeavesNoTemporaryFiles()
{
    const QString folder = path("updates");
    QVERIFY(QDir().mkpath(folder));
    const QString file = folder + "/init.ini";
    WriteIni(file, "GENERAL", "LastUpdate", "1");
    WriteIni(file, "GENERAL", "LastUpdateTime", "2");
    WriteIni(file, "GENERAL", "LastUpdate", "3");
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"init.ini"});
    QCOMPARE(contentOf(file), QByteArray("[GENERAL]\r\nLastUpdate=3\r\nLastUpdateTime=2\r\n"));
}

QTEST_GUILESS_MAIN(tst_modTypes)
#include "tst_modTypes.moc"
