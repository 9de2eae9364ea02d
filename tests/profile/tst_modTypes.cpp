#include "profile/ProfileCache.h"
#include "profile/ProfileFile.h"
#include "profile/modTypes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <optional>

// Every test gets a fresh folder holding at most "init.ini", so that a
// listing of the folder also shows any temporary file left behind.
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
    static QByteArray contentOf(const QString &path)
    {
        QFile in(path);
        return in.open(QIODevice::ReadOnly) ? in.readAll() : "<unreadable>";
    }
    void store(const QByteArray &content)
    {
        QFile out(file());
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(content) == content.size());
    }

private slots:
    void init() { QVERIFY(m_dir.emplace().isValid()); }

    // One profile holding every reading rule at once.
    void read()
    {
        const QByteArray limit(ProfileFile::MaxValueLength, 'a');
        store("\xEF\xBB\xBF"
              "Stray=before any section\r\n  [  GENERAL  ] ; main\r\n"
              " \t Date \t =  \t 12/05/2026  two  \t \r\nQuoted=\"  q  \"\r\nSingle='a b'\n"
              "Mismatched=\"x'\r\nURL==http://h/get?a=1\r\n=orphan\r\nRepeated=first\r\n"
              "REPEATED=second\r\nLong=" +
              limit + "a\r\nQuotedLong=\"" + limit +
              "\"\r\n"
              "Broken=" +
              limit.chopped(1) + "ééé\r\nWhole=" + limit.chopped(2) +
              "ééé\r\n"
              "[ÜBER]\nSCHLÜSSEL=v\r\n[OTHER\r\nHidden=h\r\n[general]\r\nLater=t\r\n");
        const QString cases[][3] = {{" general ", "\tdATE ", "12/05/2026  two"},
                                    {"GENERAL", "Quoted", "  q  "},
                                    {"GENERAL", "Single", "a b"},
                                    {"GENERAL", "Mismatched", "\"x'"},
                                    {"GENERAL", "URL", "=http://h/get?a=1"},
                                    {"GENERAL", "", ""},
                                    {"GENERAL", "Stray", ""},
                                    {"GENERAL", "Repeated", "first"},
                                    {"GENERAL", "Later", ""},
                                    {"GENERAL", "Long", limit},
                                    {"GENERAL", "QuotedLong", limit},
                                    {"GENERAL", "Broken", limit.chopped(1)},
                                    {"GENERAL", "Whole", limit.chopped(2) + "é"},
                                    {"über", "schlüssel", "v"},
                                    {"über", "Hidden", "h"},
                                    {"OTHER", "Hidden", ""}};
        for (const auto &[section, key, expected] : cases)
            QCOMPARE(ReadIni(file(), section, key), expected);
        QCOMPARE(ReadIni(m_dir->filePath("missing.ini"), "GENERAL", "Date"), QString());
    }

    void write_data()
    {
        QTest::addColumn<QString>("before"); // null: no file
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("after");
        const QString g = "[GENERAL]\r\n", n = "LastUpdate=n\r\n";
        QTest::newRow("creates a missing file") << QString() << "n" << g + n;
        QTest::newRow("replaces in place, keeping the line's own spelling")
            << "[general]\r\nA=h\r\n  lastupdate =  \"old\" \t\r\nB=t\r\n"
            << "n"
            << "[general]\r\nA=h\r\n  lastupdate =  n \t\r\nB=t\r\n";
        QTest::newRow("replaces empty last value") << g + "LastUpdate="
                                                   << "n" << g + "LastUpdate=n";
        // Neither stray text, a blank line nor a commented key is a key line.
        QTest::newRow("adds key after the section's last key")
            << g + "A=h\r\nstray\r\n\r\n;LastUpdate=old\r\n[FILE1]\r\n"
            << "n" << g + "A=h\r\n" + n + "stray\r\n\r\n;LastUpdate=old\r\n[FILE1]\r\n";
        QTest::newRow("adds key after section line without line break")
            << QString("[GENERAL]") << "n" << g + "LastUpdate=n";
        QTest::newRow("adds section at the end") << QString("[O]\r\n") << "n"
                                                 << "[O]\r\n" + g + n;
        QTest::newRow("adds section after a last line without line break, keeping LF")
            << QString("[OTHER]\nA=1") << "n" << QString("[OTHER]\nA=1\n[GENERAL]\nLastUpdate=n\n");
        // Quotes are added exactly where reading would otherwise lose blanks or quotes.
        QTest::newRow("empty value") << g << "" << g + "LastUpdate=\r\n";
        QTest::newRow("leading blank quoted") << g << " x" << g + "LastUpdate=\" x\"\r\n";
        QTest::newRow("trailing tab quoted") << g << "x\t" << g + "LastUpdate=\"x\t\"\r\n";
        QTest::newRow("quoted value quoted again")
            << g << "\"x\"" << g + "LastUpdate=\"\"x\"\"\r\n";
        QTest::newRow("lone quote not quoted") << g << "\"" << g + "LastUpdate=\"\r\n";
        QTest::newRow("UTF-8 value") << g << "Grüße ✓" << g + "LastUpdate=Grüße ✓\r\n";
    }

    // Every written value reads back unchanged, right after the read that
    // indexed the old content. The profile is replaced in one step, never
    // rewritten in place: a hard link to the old file (as a reader holding it
    // open) keeps the old bytes and is no longer the profile; root bypasses
    // permissions but not this. Nothing else is left in the folder.
    void write()
    {
        QFETCH(QString, before);
        QFETCH(QString, value);
        QFETCH(QString, after);
        const std::filesystem::path profile(file().toStdU16String()),
            held(m_dir->filePath("held").toStdU16String());
        if (!before.isNull()) {
            store(before.toUtf8());
            std::filesystem::create_hard_link(profile, held);
        }
        ReadIni(file(), " GENERAL ", "LastUpdate\t");
        WriteIni(file(), " GENERAL ", "LastUpdate\t", value);
        QCOMPARE(contentOf(file()), after.toUtf8());
        QCOMPARE(ReadIni(file(), "GENERAL", "LastUpdate"), value);
        if (!before.isNull()) {
            QCOMPARE(contentOf(m_dir->filePath("held")), before.toUtf8());
            QVERIFY(!std::filesystem::equivalent(profile, held));
            std::filesystem::remove(held);
        }
        QCOMPARE(entries(), QStringList{"init.ini"});
    }

    // Whatever would not read back the same leaves the file as it was; so
    // does a folder in the profile's place.
    void refusedWrites()
    {
        const QByteArray old = "[GENERAL]\r\nLastUpdate=old\r\n";
        store(old);
        const QString refused[][3] = {{"GENERAL", "LastUpdate", "a\nInjected=1"},
                                      {"GENERAL", "Last\rUpdate", "v"},
                                      {"GEN\r\n[X", "LastUpdate", "v"},
                                      {"GEN]ERAL", "LastUpdate", "v"},
                                      {"GENERAL", "Last=Update", "v"},
                                      {"GENERAL", "  ", "v"},
                                      {"GENERAL", "[FILE1]", "v"},
                                      {"GENERAL", ";LastUpdate", "v"}};
        for (const auto &[section, key, value] : refused) {
            WriteIni(file(), section, key, value);
            QCOMPARE(contentOf(file()), old);
        }
        QVERIFY(QDir().mkpath(m_dir->filePath("folder.ini")));
        WriteIni(m_dir->filePath("folder.ini"), "GENERAL", "LastUpdate", "x");
        QVERIFY(QDir(m_dir->filePath("folder.ini")).isEmpty());
        QCOMPARE(entries(), (QStringList{"folder.ini", "init.ini"}));
    }

    // A read-only profile in a writable folder would otherwise be replaced.
    void writeToReadOnlyIsRefused()
    {
        const QByteArray before = "[GENERAL]\r\nLastUpdate=old\r\n";
        store(before);
        QVERIFY(QFile::setPermissions(file(), QFileDevice::ReadOwner));
        if (QFileInfo(file()).isWritable())
            QSKIP("this user writes regardless of permissions");
        WriteIni(file(), "GENERAL", "LastUpdate", "new");
        QCOMPARE(contentOf(file()), before);
    }

    // Reads keep the indexed content while the file is unchanged; a rewrite
    // of the same size with the old modification time must still be seen,
    // whether it comes by a rename (a new file: the stamp shows it, trusted at
    // once here) or in place right after a read (within the span in which a
    // stamp is not trusted on its own).
    void rewriteIsSeen_data()
    {
        QTest::addColumn<bool>("inPlace");
        QTest::newRow("replaced by a rename") << false;
        QTest::newRow("rewritten in place") << true;
    }

    void rewriteIsSeen()
    {
        QFETCH(bool, inPlace);
        ProfileCache::TrustStampsAtOnceForTests(!inPlace);
        const auto restore = qScopeGuard([] { ProfileCache::TrustStampsAtOnceForTests(false); });
        store("[GENERAL]\r\nLastUpdate=old\r\n");
        QCOMPARE(ReadIni(file(), "GENERAL", "LastUpdate"), "old");
        QCOMPARE(ReadIni(file(), "GENERAL", "LastUpdate"), "old");

        const std::filesystem::path profile(file().toStdU16String());
        const auto modified = std::filesystem::last_write_time(profile);
        const QString written = inPlace ? file() : m_dir->filePath("new.ini");
        QFile out(written);
        QVERIFY(out.open(QIODevice::WriteOnly));
        QCOMPARE(out.write("[GENERAL]\r\nLastUpdate=new\r\n"), 27);
        out.close();
        std::filesystem::last_write_time(written.toStdU16String(), modified);
        if (!inPlace)
            std::filesystem::rename(written.toStdU16String(), profile);
        QCOMPARE(ReadIni(file(), "GENERAL", "LastUpdate"), "new");
    }
};

QTEST_GUILESS_MAIN(tst_modTypes)
#include "tst_modTypes.moc"
