#include "profile/ProfileFile.h"
#include "profile/modTypes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <optional>

// Every test function and row gets a fresh folder holding at most "init.ini",
// so that a listing of the folder also shows any temporary file left behind.
class tst_modTypes : public QObject
{
    Q_OBJECT

private:
    std::optional<QTemporaryDir> m_dir;

    QString file() const { return m_dir->filePath("init.ini"); }
    QStringList entries() const
    {
        return QDir(m_dir->path())
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    }

    // A null `content` means no file at all.
    static void store(const QString &path, const QByteArray &content)
    {
        QFile out(path);
        if (!content.isNull())
            QVERIFY(out.open(QIODevice::WriteOnly) && out.write(content) == content.size());
    }

    static QByteArray contentOf(const QString &path)
    {
        QFile in(path);
        return in.open(QIODevice::ReadOnly) ? in.readAll() : "<unreadable>";
    }

private slots:
    void init()
    {
        m_dir.emplace();
        QVERIFY(m_dir->isValid());
    }

    void read_data();
    void read();
    void readSeesEveryChange();
    void write_data();
    void write();
    void writeWhereNoProfileCanBeIsSilent();
    void writeToReadOnlyIsRefused_data();
    void writeToReadOnlyIsRefused();
};

void tst_modTypes::read_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *name, const QByteArray &content, const char *section,
                        const char *key, const QString &expected) {
        QTest::newRow(name) << content << QString::fromUtf8(section) << QString::fromUtf8(key)
                            << expected;
    };

    const QByteArray general = "  [  GENERAL  ] ; main\r\n"
                               " \t Date \t =  \t 12/05/2026  two  \t \r\n"
                               "Quoted=\"  q  \"\r\nSingle='a b'\r\nDoubled=\"\"x\"\"\r\n"
                               "Mismatched=\"x'\r\nLone=\"\r\n"
                               "URL==http://h/get?a=1&b=2\r\n=orphan\r\n"
                               "Repeated=first\r\nREPEATED=second\r\nHello=Grüße ✓\r\n"
                               "[FILE1]\r\nNext=x\r\n"
                               "[general]\r\nRepeated=later section\r\nLater=t\r\n";
    row("blanks around names and value", general, "GENERAL", "Date", "12/05/2026  two");
    row("asked names: case and blanks ignored", general, " general ", "\tdATE ", "12/05/2026  two");
    row("double quotes go, blanks inside stay", general, "GENERAL", "Quoted", "  q  ");
    row("single quotes go", general, "GENERAL", "Single", "a b");
    row("only the outer quotes go", general, "GENERAL", "Doubled", "\"x\"");
    row("mismatched quotes stay", general, "GENERAL", "Mismatched", "\"x'");
    row("lone quote stays", general, "GENERAL", "Lone", "\"");
    row("equals signs in value", general, "GENERAL", "URL", "=http://h/get?a=1&b=2");
    row("value without key is no key", general, "GENERAL", "", "");
    row("repeated key and section: first wins", general, "GENERAL", "Repeated", "first");
    row("repeated section: later one not searched", general, "GENERAL", "Later", "");
    row("UTF-8 value", general, "GENERAL", "Hello", QString::fromUtf8("Grüße ✓"));
    row("key of the next section not taken", general, "GENERAL", "Next", "");
    row("no file", QByteArray(), "GENERAL", "Date", "");
    row("UTF-8 names ignore case", "[ÜBER]\r\nSCHLÜSSEL=v\r\n", "über", "schlüssel", "v");
    row("byte order mark", "\xEF\xBB\xBF[GENERAL]\r\nTime=t\r\n", "GENERAL", "Time", "t");
    row("key before any section", "Date=stray\r\n[GENERAL]\r\nTime=t\r\n", "GENERAL", "Date", "");

    const QByteArray unclosed = "[OTHER]\r\nA=1\r\n[GENERAL\r\nDate=d\r\n";
    row("unclosed section line opens nothing", unclosed, "GENERAL", "Date", "");
    row("unclosed section line ends nothing", unclosed, "OTHER", "Date", "d");
    const QByteArray mixed = "\r\n\n[GENERAL]\nDate=d\r\n\nTime=t";
    row("mixed line endings, blank lines", mixed, "GENERAL", "Date", "d");
    row("no final line break", mixed, "GENERAL", "Time", "t");

    // A value is cut to MaxValueLength bytes, after its quotes are gone and
    // never inside a character ("é" takes two bytes).
    const auto longRow = [&](const char *name, const QByteArray &value, const QByteArray &cut) {
        row(name, "[GENERAL]\r\nHello=" + value + "\r\nDate=after\r\n", "GENERAL", "Hello",
            QString::fromUtf8(cut));
    };
    const QByteArray limit(ProfileFile::MaxValueLength, 'a');
    longRow("one byte beyond the limit", limit + 'a', limit);
    longRow("at the limit", limit, limit);
    longRow("quoted, at the limit", '"' + limit + '"', limit);
    longRow("no broken character", limit.chopped(1) + "ééé", limit.chopped(1));
    longRow("character ends at the limit", limit.chopped(2) + "ééé", limit.chopped(2) + "é");
}

void tst_modTypes::read()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, expected);
    store(file(), content);
    QCOMPARE(ReadIni(file(), section, key), expected);
}

// Nothing may be cached: updates.ini is replaced by each download.
void tst_modTypes::readSeesEveryChange()
{
    store(file(), "[GENERAL]\r\nDate=one\r\n");
    QCOMPARE(ReadIni(file(), "GENERAL", "Date"), QString("one"));
    store(file(), "[GENERAL]\r\nDate=two\r\n");
    QCOMPARE(ReadIni(file(), "GENERAL", "Date"), QString("two"));
}

void tst_modTypes::write_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("after");
    // Most rows set GENERAL/LastUpdate to "n".
    const auto row = [](const char *name, const QByteArray &before, const QByteArray &after,
                        const char *value = "n", const char *section = "GENERAL",
                        const char *key = "LastUpdate") {
        QTest::newRow(name) << before << QString::fromUtf8(value) << QString::fromUtf8(section)
                            << QString::fromUtf8(key) << after;
    };
    const QByteArray g = "[GENERAL]\r\n";
    const QByteArray n = "LastUpdate=n\r\n";

    row("creates a missing file", QByteArray(), g + n);
    row("replaces in place", g + "A=h\r\nLastUpdate=old\r\nB=t\r\n", g + "A=h\r\n" + n + "B=t\r\n");
    row("replace keeps the line's own spelling", "[general]\r\n  lastupdate =  old value \t\r\n",
        "[general]\r\n  lastupdate =  n \t\r\n");
    row("replaces quoted value", g + "LastUpdate=\"old\"\r\n", g + n);
    row("replaces empty value on a last line without line break",
        g + "LastUpdate=", g + "LastUpdate=n");
    row("replaces only the first of repeated keys", g + "LastUpdate=a\r\nLastUpdate=b\r\n",
        g + n + "LastUpdate=b\r\n");
    // Neither stray text, a blank line nor a commented key is a key line.
    row("adds key after the section's last key",
        g + "A=h\r\nstray\r\n\r\n;LastUpdate=old\r\n[FILE1]\r\n",
        g + "A=h\r\n" + n + "stray\r\n\r\n;LastUpdate=old\r\n[FILE1]\r\n");
    row("adds key to an empty section", g + "\r\n[FILE1]\r\n", g + n + "\r\n[FILE1]\r\n");
    row("adds key after section line without line break", "[GENERAL]", g + "LastUpdate=n");
    row("adds key into the first of repeated sections", g + "A=1\r\n" + g + "B=2\r\n",
        g + "A=1\r\nB=3\r\n" + g + "B=2\r\n", "3", "GENERAL", "B");
    row("adds section at the end", "[OTHER]\r\nA=1\r\n", "[OTHER]\r\nA=1\r\n" + g + n);
    row("adds section after a last line without line break, keeping LF", "[OTHER]\nA=1",
        "[OTHER]\nA=1\n[GENERAL]\nLastUpdate=n\n");
    row("blanks around the given names dropped", g, g + n, "n", " GENERAL ", " LastUpdate\t");

    // Quotes are added exactly where reading would otherwise lose blanks or quotes.
    row("empty value", g, g + "LastUpdate=\r\n", "");
    row("leading blank quoted", g, g + "LastUpdate=\" x\"\r\n", " x");
    row("trailing tab quoted", g, g + "LastUpdate=\"x\t\"\r\n", "x\t");
    row("double quoted value quoted again", g, g + "LastUpdate=\"\"x\"\"\r\n", "\"x\"");
    row("single quoted value quoted again", g, g + "LastUpdate=\"'x'\"\r\n", "'x'");
    row("lone quote not quoted", g, g + "LastUpdate=\"\r\n", "\"");
    row("opening quote only not quoted", g, g + "LastUpdate=\"half\r\n", "\"half");
    row("UTF-8 value", g, g + "LastUpdate=Grüße ✓ 日本語\r\n", "Grüße ✓ 日本語");

    // Whatever would not read back the same leaves the file as it was.
    const QByteArray old = g + "LastUpdate=old\r\n";
    const auto refused = [&](const char *name, const char *value, const char *section,
                             const char *key) { row(name, old, old, value, section, key); };
    refused("LF in value", "a\nInjected=1", "GENERAL", "LastUpdate");
    refused("CR in value", "a\rb", "GENERAL", "LastUpdate");
    refused("line break in key", "v", "GENERAL", "Last\nUpdate");
    refused("line break in section", "v", "GEN\r\n[X", "LastUpdate");
    refused("bracket in section", "v", "GEN]ERAL", "LastUpdate");
    refused("equals sign in key", "v", "GENERAL", "Last=Update");
    refused("blank key", "v", "GENERAL", "  ");
    refused("key like a section", "v", "GENERAL", "[FILE1]");
    refused("key like a comment", "v", "GENERAL", ";LastUpdate");
}

// Every written value also reads back unchanged, and nothing but the profile
// is left in its folder.
void tst_modTypes::write()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, value);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QByteArray, after);
    store(file(), before);
    WriteIni(file(), section, key, value);
    QCOMPARE(contentOf(file()), after);
    QCOMPARE(entries(), QStringList{"init.ini"});
    if (after != before)
        QCOMPARE(ReadIni(file(), section, key), value);
}

// Neither a missing folder nor a folder in the profile's place gets a file.
void tst_modTypes::writeWhereNoProfileCanBeIsSilent()
{
    WriteIni(m_dir->filePath("missing/init.ini"), "GENERAL", "LastUpdate", "x");
    QVERIFY(QDir().mkpath(file()));
    WriteIni(file(), "GENERAL", "LastUpdate", "x");
    QCOMPARE(entries(), QStringList{"init.ini"});
    QVERIFY(QDir(file()).isEmpty());
}

void tst_modTypes::writeToReadOnlyIsRefused_data()
{
    QTest::addColumn<bool>("lockFolder");
    QTest::newRow("read-only file") << false;
    // The replacement would succeed wherever the folder is writable.
    QTest::newRow("read-only folder") << true;
}

void tst_modTypes::writeToReadOnlyIsRefused()
{
    QFETCH(bool, lockFolder);
    const QByteArray before = "[GENERAL]\r\nLastUpdate=old\r\n";
    store(file(), before);
    const QString locked = lockFolder ? m_dir->path() : file();
    const QFileDevice::Permissions permissions = QFile::permissions(locked);
    QVERIFY(QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const auto restore = qScopeGuard([&] { QFile::setPermissions(locked, permissions); });
    QFile probe(lockFolder ? m_dir->filePath("probe") : file());
    if (probe.open(QIODevice::WriteOnly | QIODevice::Append))
        QSKIP("this user writes regardless of permissions");

    WriteIni(file(), "GENERAL", "LastUpdate", "new");
    QCOMPARE(contentOf(file()), before);
    QCOMPARE(entries(), QStringList{"init.ini"});
}

QTEST_GUILESS_MAIN(tst_modTypes)
#include "tst_modTypes.moc"
