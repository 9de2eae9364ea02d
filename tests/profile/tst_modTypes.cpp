#include "profile/NumericValue.h"
#include "profile/ProfileCache.h"
#include "profile/modTypes.h"
#include "tests/support/TestFiles.h"

#include <QProcess>
#include <QTest>
#include <csignal>
#include <filesystem>
#include <sys/resource.h>

namespace fs = std::filesystem;

class tst_modTypes : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    const fs::path m_profile{m_dir.filePath("init.ini").toStdU16String()};
    QString file() const { return m_dir.filePath("init.ini"); }

private slots:
    // Names match in any letter case and without their blanks; values lose
    // their blanks and one pair of quotes and are cut at the limit; whatever
    // is absent reads as empty text.
    void read()
    {
        const QByteArray limit(ProfileFile::MaxValueLength, 'a');
        writeFile(file(),
                  "[OTHER]\r\nDate=other\r\n  [ general ] ; main\r\n; Date=comment\r\n"
                  " \t Date \t =  \t 12/05  two  \t \r\nQuoted=\"  q  \"\r\nSingle='a b'\r\nLong=" +
                      limit + "b\r\n");
        const QByteArray rows[][3] = {{" GENERAL ", "\tdATE ", "12/05  two"},
                                      {"general", "Quoted", "  q  "},
                                      {"general", "Single", "a b"},
                                      {"general", "Long", limit},
                                      {"OTHER", "Quoted", ""},
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
        const struct {
            QByteArray before, value, after;
        } rows[] = {{"[general]\r\n  lastupdate =  \"old\" \t\r\nB=t\r\n", " x",
                     "[general]\r\n  lastupdate =  \" x\" \t\r\nB=t\r\n"},
                    {"[GENERAL]\r\nA=h\r\n\r\n;LastUpdate=old\r\n[O]\r\n", "n",
                     "[GENERAL]\r\nA=h\r\nLastUpdate=n\r\n\r\n;LastUpdate=old\r\n[O]\r\n"}};
        const fs::path held(m_dir.filePath("held").toStdU16String());
        for (const auto &row : rows) {
            writeFile(file(), row.before);
            fs::create_hard_link(m_profile, held);
            ReadIni(file(), "GENERAL", "LastUpdate");
            QVERIFY(WriteIni(file(), " GENERAL ", "LastUpdate\t", row.value));
            QCOMPARE(readAll(file()), row.after);
            QCOMPARE(ReadIni(file(), "GENERAL", "LastUpdate"), QString::fromLatin1(row.value));
            QCOMPARE(readAll(m_dir.filePath("held")), row.before);
            QVERIFY(!fs::equivalent(m_profile, held));
            fs::remove(held);
        }
        const QByteArray old = readAll(file());
        QVERIFY(!WriteIni(file(), "GENERAL", "LastUpdate", "a\nInjected=1"));
        // A file-size limit fails the write of the new profile, root or not.
        rlimit limit{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &limit) == 0);
        const rlimit small{64, limit.rlim_max};
        std::signal(SIGXFSZ, SIG_IGN);
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
        const bool written = bool(WriteIni(file(), "GENERAL", "LastUpdate", QString(100, 'v')));
        QVERIFY(setrlimit(RLIMIT_FSIZE, &limit) == 0);
        QVERIFY(!written);
        QCOMPARE(readAll(file()), old);
        QCOMPARE(filesBelow(m_dir.path()).keys(), QStringList{"init.ini"});
        // A folder that takes new names but keeps its old ones (append-only,
        // which binds root too) fails the commit that replaces the profile.
        if (QProcess::execute("chattr", {"+a", m_dir.path()}) != 0)
            QSKIP("this folder cannot be made append-only here");
        const bool committed = bool(WriteIni(file(), "GENERAL", "LastUpdate", "c"));
        QProcess::execute("chattr", {"-a", m_dir.path()});
        QVERIFY(!committed);
        QCOMPARE(readAll(file()), old);
    }

    // Reads keep the indexed content while the file is unchanged. A rewrite
    // of the same size with the old modification time is still seen: by a
    // rename, a new file; in place, a new status-change time, or (while the
    // stamp is not yet trusted) new content.
    void rewriteIsSeen()
    {
        const auto restore = qScopeGuard([] { ProfileCache::trustStampsAtOnceForTests(false); });
        for (const auto &[inPlace, trustAtOnce] :
             {std::pair{false, true}, {true, true}, {true, false}}) {
            ProfileCache::trustStampsAtOnceForTests(trustAtOnce);
            writeFile(file(), "[GENERAL]\r\nLastUpdate=old\r\n");
            QCOMPARE(ReadIni(file(), "GENERAL", "LastUpdate"), "old");
            const auto modified = fs::last_write_time(m_profile);
            const QString written = inPlace ? file() : m_dir.filePath("new.ini");
            writeFile(written, "[GENERAL]\r\nLastUpdate=new\r\n");
            fs::last_write_time(written.toStdU16String(), modified);
            if (!inPlace)
                fs::rename(written.toStdU16String(), m_profile);
            QCOMPARE(ReadIni(file(), "GENERAL", "LastUpdate"), "new");
        }
    }

    // Profile numbers read the same under any locale: German would take
    // "1.000" for 1000.
    void numericValue()
    {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        const std::pair<QString, double> rows[] = {{" \t-3.5e2", -3.5},
                                                   {"+.5", 0.5},
                                                   {"1.000.5", 1},
                                                   {QString(400, u'9'), qInf()},
                                                   {"0." + QString(400, u'0') + "1", 0}};
        for (const auto &[text, expected] : rows)
            QVERIFY2(::numericValue(text) == expected, qPrintable(text.left(20)));
        QLocale::setDefault(QLocale::system());
    }
};

QTEST_GUILESS_MAIN(tst_modTypes)
#include "tst_modTypes.moc"
