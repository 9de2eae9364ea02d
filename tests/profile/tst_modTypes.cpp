#include "profile/NumericValue.h"
#include "profile/ProfileCache.h"
#include "profile/ProfileFile.h"
#include "profile/modTypes.h"
#include "tests/support/TestFiles.h"

#include <QLocale>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <filesystem>
#include <limits>
#if defined(Q_OS_UNIX)
#include <sys/resource.h>
#endif

namespace fs = std::filesystem;

class tst_modTypes : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString file() const { return m_dir.filePath("init.ini"); }
    void store(const QByteArray &content, const QString &path = {})
    {
        QFile out(path.isEmpty() ? file() : path);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(content) == content.size());
    }

private slots:
    // Names match in any letter case and without their blanks; values lose
    // their blanks and one pair of quotes and are cut at the limit; whatever
    // is absent reads as empty text.
    void read()
    {
        const QByteArray limit(ProfileFile::MaxValueLength, 'a');
        store("[OTHER]\r\nDate=other\r\n  [ general ] ; main\r\n; Date=comment\r\n"
              " \t Date \t =  \t 12/05  two  \t \r\nQuoted=\"  q  \"\r\nSingle='a b'\r\nLong=" +
              limit + "b\r\n");
        const QByteArray rows[][3] = {{" GENERAL ", "\tdATE ", "12/05  two"},
                                      {"general", "Quoted", "  q  "},
                                      {"general", "Single", "a b"},
                                      {"general", "Long", limit},
                                      {"general", "Missing", ""},
                                      {"NONE", "Date", ""}};
        for (const auto &[section, key, expected] : rows)
            QCOMPARE(ReadIni(file(), section, key), QString::fromLatin1(expected));
        QCOMPARE(ReadIni(m_dir.filePath("none.ini"), "GENERAL", "Date"), QString());
    }

    // Each write reads back at once and replaces the profile in one step: a
    // hard link to the old file (as a reader holding it open) keeps the old
    // bytes and is no longer the profile, which root cannot bypass. A write
    // that would not read back the same, or that the disk refuses, leaves
    // the profile as it was.
    void write()
    {
        const QByteArray g = "[GENERAL]\r\n", n = "LastUpdate=n\r\n";
        const struct {
            QByteArray before, value, after;
        } rows[] = {{{}, "n", g + n},
                    {"[general]\r\n  lastupdate =  \"old\" \t\r\nB=t\r\n", " x",
                     "[general]\r\n  lastupdate =  \" x\" \t\r\nB=t\r\n"},
                    {g + "A=h\r\n\r\n;LastUpdate=old\r\n[O]\r\n", "n",
                     g + "A=h\r\n" + n + "\r\n;LastUpdate=old\r\n[O]\r\n"},
                    {"[O]\nA=1", "n", "[O]\nA=1\n[GENERAL]\nLastUpdate=n\n"}};
        const fs::path profile(file().toStdU16String()),
            held(m_dir.filePath("held").toStdU16String());
        for (const auto &row : rows) {
            QFile::remove(file());
            if (!row.before.isNull()) {
                store(row.before);
                fs::create_hard_link(profile, held);
            }
            ReadIni(file(), "GENERAL", "LastUpdate");
            QVERIFY(WriteIni(file(), " GENERAL ", "LastUpdate\t", row.value));
            QCOMPARE(ReadAll(file()), row.after);
            QCOMPARE(ReadIni(file(), "GENERAL", "LastUpdate"), QString::fromLatin1(row.value));
            if (!row.before.isNull()) {
                QCOMPARE(ReadAll(m_dir.filePath("held")), row.before);
                QVERIFY(!fs::equivalent(profile, held));
                fs::remove(held);
            }
            QCOMPARE(FilesBelow(m_dir.path()).keys(), QStringList{"init.ini"});
        }
        const QByteArray old = ReadAll(file());
        QVERIFY(!WriteIni(file(), "GENERAL", "LastUpdate", "a\nInjected=1"));
        QVERIFY(!WriteIni(file(), "GENERAL", "[FILE1]", "v"));
#if defined(Q_OS_UNIX)
        // A file-size limit fails the write of the new profile, root or not.
        rlimit limit{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &limit) == 0);
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = limit;
        small.rlim_cur = 64;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
        const bool written = WriteIni(file(), "GENERAL", "LastUpdate", QString(100, 'v'));
        QVERIFY(setrlimit(RLIMIT_FSIZE, &limit) == 0);
        QVERIFY(!written);
#endif
        QCOMPARE(ReadAll(file()), old);
        QCOMPARE(FilesBelow(m_dir.path()).keys(), QStringList{"init.ini"});
    }

    // Reads keep the indexed content while the file is unchanged. A rewrite
    // of the same size with the old modification time is still seen: by a
    // rename, a new file; in place, a new status-change time, or (while the
    // stamp is not yet trusted) new content.
    void rewriteIsSeen()
    {
        const auto restore = qScopeGuard([] { ProfileCache::TrustStampsAtOnceForTests(false); });
        const struct {
            bool inPlace, trustAtOnce;
        } rows[] = {{false, true}, {true, true}, {true, false}};
        for (const auto &row : rows) {
            ProfileCache::TrustStampsAtOnceForTests(row.trustAtOnce);
            store("[GENERAL]\r\nLastUpdate=old\r\n");
            QCOMPARE(ReadIni(file(), "GENERAL", "LastUpdate"), "old");
            QCOMPARE(ReadIni(file(), "GENERAL", "LastUpdate"), "old");
            const fs::path profile(file().toStdU16String());
            const QString written = row.inPlace ? file() : m_dir.filePath("new.ini");
            store("[GENERAL]\r\nLastUpdate=new\r\n", written);
            fs::last_write_time(written.toStdU16String(), fs::last_write_time(profile));
            if (!row.inPlace)
                fs::rename(written.toStdU16String(), profile);
            QCOMPARE(ReadIni(file(), "GENERAL", "LastUpdate"), "new");
        }
    }

    // Profile numbers read the same under any locale: German would take
    // "1.000,5" for 1000.5.
    void numericValue()
    {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        const double infinity = std::numeric_limits<double>::infinity();
        const std::pair<QString, double> rows[] = {{" \t12 files", 12},
                                                   {"  -3.5e2", -3.5},
                                                   {"+.5", 0.5},
                                                   {"+.", 0},
                                                   {"1.000,5", 1},
                                                   {QString(400, u'9'), infinity},
                                                   {"-" + QString(400, u'9'), -infinity},
                                                   {"0." + QString(400, u'0') + "1", 0}};
        for (const auto &[text, expected] : rows)
            QVERIFY2(NumericValue(text) == expected, qPrintable(text.left(20)));
        QLocale::setDefault(QLocale::system());
    }
};

QTEST_GUILESS_MAIN(tst_modTypes)
#include "tst_modTypes.moc"
