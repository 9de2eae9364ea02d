#include "profile/ProfileCache.h"
#include "profile/ProfileFile.h"
#include "profile/modTypes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <optional>

// Every test function and row gets a fresh folder holding at most "init.ini",
// so that a listing of the folder also shows any temporary file left behind.
class tst_modTypes : public QObject
{
    Q_OBJECT

    std::optional<QTemporaryDir> m_dir;

    QString file() const { return m_dir->filePath("init.ini"); }
    QStringList entries() const
    {
        return QDir(m_dir->path())
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    }
    // A null `content` means no file at all.
    void store(const QByteArray &content)
    {
        QFile out(file());
        if (!content.isNull())
            QVERIFY(out.open(QIODevice::WriteOnly) && out.write(content) == content.size());
    }
    QByteArray stored() const
    {
        QFile in(file());
        return in.open(QIODevice::ReadOnly) ? in.readAll() : "<unreadable>";
    }

private slots:
    void init()
    {
        m_dir.emplace();
        QVERIFY(m_dir->isValid());
    }

    void read_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const QByteArray &content, const char *section,
                            const char *key, const QByteArray &expected) {
            QTest::newRow(name) << content << QString::fromUtf8(section) << QString::fromUtf8(key)
                                << QString::fromUtf8(expected);
        };
        const QByteArray general = "  [  GENERAL  ] ; main\r\n"
                                   " \t Date \t =  \t 12/05/2026  two  \t \r\n"
                                   "Quoted=\"  q  \"\r\nSingle='a b'\r\nMismatched=\"x'\r\n"
                                   "URL==http://h/get?a=1&b=2\r\n=orphan\r\n"
                                   "Repeated=first\r\nREPEATED=second\r\n[FILE1]\r\n"
                                   "[general]\r\nRepeated=later section\r\nLater=t\r\n";
        row("case and blanks ignored", general, " general ", "\tdATE ", "12/05/2026  two");
        row("double quotes go, blanks inside stay", general, "GENERAL", "Quoted", "  q  ");
        row("single quotes go", general, "GENERAL", "Single", "a b");
        row("mismatched quotes stay", general, "GENERAL", "Mismatched", "\"x'");
        row("equals signs in value", general, "GENERAL", "URL", "=http://h/get?a=1&b=2");
        row("value without key is no key", general, "GENERAL", "", "");
        row("repeated key and section: first wins", general, "GENERAL", "Repeated", "first");
        row("repeated section: later one not searched", general, "GENERAL", "Later", "");
        row("no file", QByteArray(), "GENERAL", "Date", "");
        row("UTF-8 names ignore case", "[ÜBER]\r\nSCHLÜSSEL=v\r\n", "über", "schlüssel", "v");
        row("byte order mark", "\xEF\xBB\xBF[GENERAL]\r\nTime=t\r\n", "GENERAL", "Time", "t");
        row("key before any section", "Date=stray\r\n[GENERAL]\r\n", "GENERAL", "Date", "");
        const QByteArray unclosed = "[OTHER]\r\nA=1\r\n[GENERAL\r\nDate=d\r\n";
        row("unclosed section line opens nothing", unclosed, "GENERAL", "Date", "");
        row("unclosed section line ends nothing", unclosed, "OTHER", "Date", "d");
        row("mixed line endings", "\r\n\n[GENERAL]\nDate=d\r\n\n", "GENERAL", "Date", "d");

        // A value is cut to MaxValueLength bytes, after its quotes are gone and
        // never inside a character ("é" takes two bytes).
        const auto longRow = [&](const char *name, const QByteArray &value, const QByteArray &cut) {
            row(name, "[GENERAL]\r\nHello=" + value + "\r\nDate=after\r\n", "GENERAL", "Hello",
                cut);
        };
        const QByteArray limit(ProfileFile::MaxValueLength, 'a');
        longRow("one byte beyond the limit", limit + 'a', limit);
        longRow("quoted, at the limit", '"' + limit + '"', limit);
        longRow("no broken character", limit.chopped(1) + "ééé", limit.chopped(1));
        longRow("character ends at the limit", limit.chopped(2) + "ééé", limit.chopped(2) + "é");
    }

    void read()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        store(content);
        QCOMPARE(ReadIni(file(), section, key), expected);
    }

    void write_data()
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
        row("replaces in place, keeping the line's own spelling",
            "[general]\r\nA=h\r\n  lastupdate =  old value \t\r\nB=t\r\n",
            "[general]\r\nA=h\r\n  lastupdate =  n \t\r\nB=t\r\n");
        row("replaces quoted value", g + "LastUpdate=\"old\"\r\n", g + n);
        row("replaces empty last value, no line break", g + "LastUpdate=", g + "LastUpdate=n");
        // Neither stray text, a blank line nor a commented key is a key line.
        row("adds key after the section's last key",
            g + "A=h\r\nstray\r\n\r\n;LastUpdate=old\r\n[FILE1]\r\n",
            g + "A=h\r\n" + n + "stray\r\n\r\n;LastUpdate=old\r\n[FILE1]\r\n");
        row("adds key after section line without line break", "[GENERAL]", g + "LastUpdate=n");
        row("adds section at the end", "[OTHER]\r\nA=1\r\n", "[OTHER]\r\nA=1\r\n" + g + n);
        row("adds section after a last line without line break, keeping LF", "[OTHER]\nA=1",
            "[OTHER]\nA=1\n[GENERAL]\nLastUpdate=n\n");
        row("blanks around the given names dropped", g, g + n, "n", " GENERAL ", " LastUpdate\t");

        // Quotes are added exactly where reading would otherwise lose blanks or quotes.
        row("empty value", g, g + "LastUpdate=\r\n", "");
        row("leading blank quoted", g, g + "LastUpdate=\" x\"\r\n", " x");
        row("trailing tab quoted", g, g + "LastUpdate=\"x\t\"\r\n", "x\t");
        row("quoted value quoted again", g, g + "LastUpdate=\"\"x\"\"\r\n", "\"x\"");
        row("lone quote not quoted", g, g + "LastUpdate=\"\r\n", "\"");
        row("UTF-8 value", g, g + "LastUpdate=Grüße ✓ 日本語\r\n", "Grüße ✓ 日本語");

        // Whatever would not read back the same leaves the file as it was.
        const QByteArray old = g + "LastUpdate=old\r\n";
        const auto refused = [&](const char *name, const char *value, const char *section,
                                 const char *key) { row(name, old, old, value, section, key); };
        refused("LF in value", "a\nInjected=1", "GENERAL", "LastUpdate");
        refused("CR in key", "v", "GENERAL", "Last\rUpdate");
        refused("line break in section", "v", "GEN\r\n[X", "LastUpdate");
        refused("bracket in section", "v", "GEN]ERAL", "LastUpdate");
        refused("equals sign in key", "v", "GENERAL", "Last=Update");
        refused("blank key", "v", "GENERAL", "  ");
        refused("key like a section", "v", "GENERAL", "[FILE1]");
        refused("key like a comment", "v", "GENERAL", ";LastUpdate");
    }

    // Every written value reads back unchanged and the write says so; a
    // refused one leaves the old value and says it failed. Nothing but the
    // profile is left in its folder. The read before the write keeps the
    // profile's content, which the read after it must not take for the new one.
    void write()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, value);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QByteArray, after);
        store(before);
        const QString old = ReadIni(file(), section, key);
        QCOMPARE(WriteIni(file(), section, key, value), after != before);
        QCOMPARE(stored(), after);
        QCOMPARE(entries(), QStringList{"init.ini"});
        QCOMPARE(ReadIni(file(), section, key), after == before ? old : value);
    }

    // Reads keep the indexed content while the file is unchanged; a rewrite
    // of the same size with the old modification time must still be seen,
    // whether it comes by a rename (a new file: the stamp shows it, trusted at
    // once here) or in place right after a read (within the span in which a
    // stamp is not trusted on its own).
    void rewriteIsSeen_data()
    {
        QTest::addColumn<bool>("inPlace");
        QTest::addColumn<bool>("trustAtOnce");
        QTest::newRow("replaced by a rename") << false << true;
        QTest::newRow("rewritten in place") << true << false;
    }

    void rewriteIsSeen()
    {
        QFETCH(bool, inPlace);
        QFETCH(bool, trustAtOnce);
        ProfileCache::TrustStampsAtOnceForTests(trustAtOnce);
        const auto restore = qScopeGuard([] { ProfileCache::TrustStampsAtOnceForTests(false); });
        store("[GENERAL]\r\nLastUpdate=old\r\n");
        QCOMPARE(ReadIni(file(), "GENERAL", "LastUpdate"), "old");
        QCOMPARE(ReadIni(file(), "GENERAL", "LastUpdate"), "old");

        const std::filesystem::path profile(file().toStdU16String());
        const std::filesystem::file_time_type modified = std::filesystem::last_write_time(profile);
        const QString written = inPlace ? file() : m_dir->filePath("new.ini");
        QFile out(written);
        QVERIFY(out.open(QIODevice::WriteOnly));
        QCOMPARE(out.write("[GENERAL]\r\nLastUpdate=new\r\n"), 27);
        out.close();
        std::filesystem::last_write_time(written.toStdU16String(), modified);
        if (!inPlace)
            std::filesystem::rename(written.toStdU16String(), profile);
        QCOMPARE(std::filesystem::last_write_time(profile), modified);

        QCOMPARE(ReadIni(file(), "GENERAL", "LastUpdate"), "new");
    }

    // Neither a missing folder nor a folder in the profile's place gets a file.
    void writeWhereNoProfileCanBeIsSilent()
    {
        WriteIni(m_dir->filePath("missing/init.ini"), "GENERAL", "LastUpdate", "x");
        QVERIFY(QDir().mkpath(file()));
        WriteIni(file(), "GENERAL", "LastUpdate", "x");
        QCOMPARE(entries(), QStringList{"init.ini"});
        QVERIFY(QDir(file()).isEmpty());
    }

    // A read-only profile in a writable folder would otherwise be replaced.
    void writeToReadOnlyIsRefused_data()
    {
        QTest::addColumn<bool>("lockFolder");
        QTest::newRow("read-only file") << false;
        QTest::newRow("read-only folder") << true;
    }

    void writeToReadOnlyIsRefused()
    {
        QFETCH(bool, lockFolder);
        const QByteArray before = "[GENERAL]\r\nLastUpdate=old\r\n";
        store(before);
        const QString locked = lockFolder ? m_dir->path() : file();
        const QFileDevice::Permissions permissions = QFile::permissions(locked);
        QVERIFY(QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        const auto restore = qScopeGuard([&] { QFile::setPermissions(locked, permissions); });
        QFile probe(lockFolder ? m_dir->filePath("probe") : file());
        if (probe.open(QIODevice::WriteOnly | QIODevice::Append))
            QSKIP("this user writes regardless of permissions");

        QVERIFY(!WriteIni(file(), "GENERAL", "LastUpdate", "new"));
        QCOMPARE(stored(), before);
        QCOMPARE(entries(), QStringList{"init.ini"});
    }
};

QTEST_GUILESS_MAIN(tst_modTypes)
#include "tst_modTypes.moc"
