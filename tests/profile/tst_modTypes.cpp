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
        const QByteArray limit(ProfileFile::MaxValueLength, 'a'), cut1 = limit.chopped(1);
        store(
            "\xEF\xBB\xBFStray=x\r\n  [  GENERAL  ] ; main\r\n \t Date \t =  \t 12/05  two  \t \r\n"
            "Quoted=\"  q  \"\r\nSingle='a b'\nMismatched=\"x'\r\nURL==h?a=1\r\n=orphan\r\n"
            "Repeated=first\r\nREPEATED=second\r\nLong=" +
            limit + "a\r\nQuotedLong=\"" + limit + "\"\r\nBroken=" + cut1 +
            "ééé\r\nWhole=" + limit.chopped(2) +
            "ééé\r\n[ÜBER]\n"
            "SCHLÜSSEL=v\r\n[OTHER\r\nHidden=h\r\n[general]\r\nLater=t\r\n");
        const char *cases[][3] = {{" general ", "\tdATE ", "12/05  two"},
                                  {"GENERAL", "Quoted", "  q  "},
                                  {"GENERAL", "Single", "a b"},
                                  {"GENERAL", "Mismatched", "\"x'"},
                                  {"GENERAL", "URL", "=h?a=1"},
                                  {"GENERAL", "", ""},
                                  {"GENERAL", "Stray", ""},
                                  {"GENERAL", "Repeated", "first"},
                                  {"GENERAL", "Later", ""},
                                  {"über", "schlüssel", "v"},
                                  {"über", "Hidden", "h"},
                                  {"OTHER", "Hidden", ""}};
        for (const auto &[section, key, expected] : cases)
            QCOMPARE(ReadIni(file(), section, key), QString::fromUtf8(expected));
        // Long values are cut after their quotes are gone, never inside a character.
        for (const auto &[key, expected] : {std::pair<QString, QByteArray>{"Long", limit},
                                            {"QuotedLong", limit},
                                            {"Broken", cut1},
                                            {"Whole", cut1.chopped(1) + "é"}})
            QCOMPARE(ReadIni(file(), "GENERAL", key), expected);
        QCOMPARE(ReadIni(m_dir->filePath("none.ini"), "GENERAL", "Date"), QString());
    }

    // Every written value reads back unchanged, right after the read that
    // indexed the old content. The profile is replaced in one step, never
    // rewritten in place: a hard link to the old file (as a reader holding it
    // open) keeps the old bytes and is no longer the profile; root bypasses
    // permissions but not this. Nothing else is left in the folder.
    void write()
    {
        const QString g = "[GENERAL]\r\n", n = "LastUpdate=n\r\n";
        const struct {
            QString before, value, after; // before null: no file
        } rows[] = {{QString(), "n", g + n},
                    // Replaced where it stands, keeping the line's own spelling.
                    {"[general]\r\nA=h\r\n  lastupdate =  \"old\" \t\r\nB=t\r\n", "n",
                     "[general]\r\nA=h\r\n  lastupdate =  n \t\r\nB=t\r\n"},
                    {g + "LastUpdate=", "n", g + "LastUpdate=n"},
                    // Added after the last key: stray text, blank and comment lines are none.
                    {g + "A=h\r\nstray\r\n\r\n;LastUpdate=old\r\n[FILE1]\r\n", "n",
                     g + "A=h\r\n" + n + "stray\r\n\r\n;LastUpdate=old\r\n[FILE1]\r\n"},
                    {"[GENERAL]", "n", g + "LastUpdate=n"},
                    {"[O]\r\n", "n", "[O]\r\n" + g + n},
                    {"[O]\nA=1", "n", "[O]\nA=1\n[GENERAL]\nLastUpdate=n\n"},
                    // Quoted exactly where reading would otherwise lose blanks or quotes.
                    {g, "", g + "LastUpdate=\r\n"},
                    {g, " x", g + "LastUpdate=\" x\"\r\n"},
                    {g, "x\t", g + "LastUpdate=\"x\t\"\r\n"},
                    {g, "\"x\"", g + "LastUpdate=\"\"x\"\"\r\n"},
                    {g, "\"", g + "LastUpdate=\"\r\n"},
                    {g, "Grüße ✓", g + "LastUpdate=Grüße ✓\r\n"}};
        const std::filesystem::path profile(file().toStdU16String()),
            held(m_dir->filePath("held").toStdU16String());
        for (const auto &row : rows) {
            QFile::remove(file());
            if (!row.before.isNull()) {
                store(row.before.toUtf8());
                std::filesystem::create_hard_link(profile, held);
            }
            ReadIni(file(), " GENERAL ", "LastUpdate\t");
            QVERIFY(WriteIni(file(), " GENERAL ", "LastUpdate\t", row.value));
            QCOMPARE(contentOf(file()), row.after.toUtf8());
            QCOMPARE(ReadIni(file(), "GENERAL", "LastUpdate"), row.value);
            if (!row.before.isNull()) {
                QCOMPARE(contentOf(m_dir->filePath("held")), row.before.toUtf8());
                QVERIFY(!std::filesystem::equivalent(profile, held));
                std::filesystem::remove(held);
            }
            QCOMPARE(entries(), QStringList{"init.ini"});
        }
    }

    // Whatever would not read back the same leaves the file as it was.
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
            QVERIFY(!WriteIni(file(), section, key, value));
            QCOMPARE(contentOf(file()), old);
        }
        // A read-only profile in a writable folder would otherwise be replaced.
        QVERIFY(QFile::setPermissions(file(), QFileDevice::ReadOwner));
        if (QFileInfo(file()).isWritable())
            QSKIP("this user writes regardless of permissions");
        QVERIFY(!WriteIni(file(), "GENERAL", "LastUpdate", "new"));
        QCOMPARE(contentOf(file()), old);
    }

    // Reads keep the indexed content while the file is unchanged; a rewrite
    // of the same size with the old modification time must still be seen,
    // whether it comes by a rename (a new file: the stamp shows it, trusted at
    // once here) or in place right after a read (within the span in which a
    // stamp is not trusted on its own).
    void rewriteIsSeen()
    {
        const auto restore = qScopeGuard([] { ProfileCache::TrustStampsAtOnceForTests(false); });
        for (const bool inPlace : {false, true}) {
            ProfileCache::TrustStampsAtOnceForTests(!inPlace);
            store("[GENERAL]\r\nLastUpdate=old\r\n");
            QCOMPARE(ReadIni(file(), "GENERAL", "LastUpdate"), "old");
            QCOMPARE(ReadIni(file(), "GENERAL", "LastUpdate"), "old");
            const std::filesystem::path profile(file().toStdU16String());
            const auto modified = std::filesystem::last_write_time(profile);
            const QString written = inPlace ? file() : m_dir->filePath("new.ini");
            QFile out(written);
            QVERIFY(out.open(QIODevice::WriteOnly) &&
                    out.write("[GENERAL]\r\nLastUpdate=new\r\n") == 27);
            out.close();
            std::filesystem::last_write_time(written.toStdU16String(), modified);
            if (!inPlace)
                std::filesystem::rename(written.toStdU16String(), profile);
            QCOMPARE(ReadIni(file(), "GENERAL", "LastUpdate"), "new");
        }
    }
};

QTEST_GUILESS_MAIN(tst_modTypes)
#include "tst_modTypes.moc"
