#include "tests/support/TestFiles.h"
#include "tests/support/TestHttpServer.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>

namespace
{

constexpr int FileCount = 500;
constexpr unsigned Seed = 20261207;
// The soak stops starting rounds after this long, whatever their outcome.
constexpr qint64 BudgetMs = 150000;

bool WriteFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

// 500 pinned files through a server that drops a third of its connections in
// the middle of a body, and the real updater killed in every round: at a
// seeded number of staged files, or by the commit's test hook after a
// seeded number of moves. Rounds go on until an update is recorded; then
// every game file is the release's, byte for byte, and nothing else is left.
class soak_WholeUpdate : public QObject
{
    Q_OBJECT

    TestHttpServer m_server;
    std::mutex m_mutex;
    std::mt19937 m_random{Seed};
    std::map<std::string, std::string> m_bodies;  // path -> body
    std::set<std::string> m_servedWhole;          // last answered whole, this round
    std::atomic<int> m_answered{0}, m_dropped{0}; // file requests only
    std::atomic<int> m_listsAnswered{0};

private slots:
    void soak();
};

void soak_WholeUpdate::soak()
{
    QTemporaryDir program;
    QVERIFY(program.isValid());
    QMap<QString, QByteArray> release;
    std::mt19937 sizes(Seed);
    for (int i = 0; i < FileCount; ++i) {
        const QString name = QStringLiteral("data/d%1/f%2.bin").arg(i % 7).arg(i);
        QByteArray body(int(1000 + sizes() % 30000), Qt::Uninitialized);
        for (char &c : body)
            c = char(sizes());
        release.insert(name, body);
    }
    // Each release is served under its own "Time": "soak1", "soak2", ...
    QMap<QString, std::string> urlOf;
    const auto publish = [&](int releaseNumber) {
        QString list = QStringLiteral("[GENERAL]\nTotalFiles=%1\nDate=2026-12-07\nTime=soak%2\n")
                           .arg(FileCount)
                           .arg(releaseNumber);
        std::lock_guard lock(m_mutex);
        int number = 0;
        for (auto it = release.cbegin(); it != release.cend(); ++it, ++number) {
            const QString path = it.key();
            const QString url = QStringLiteral("/f/%1/%2").arg(releaseNumber).arg(number);
            urlOf[path] = url.toStdString();
            m_bodies[url.toStdString()] = it.value().toStdString();
            list +=
                QStringLiteral("[FILE%1]\nURL=%2\nSavePath=\\%3\nFileName=%4\nSize=%5\nSHA256=%6\n")
                    .arg(number + 1)
                    .arg(m_server.url(url), QFileInfo(path).path().replace('/', '\\'),
                         QFileInfo(path).fileName())
                    .arg(it.value().size())
                    .arg(QString::fromLatin1(
                        QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256).toHex()));
        }
        m_bodies["/updates.txt"] = list.toStdString();
    };
    m_bodies["/hello.txt"] = "soak";

    m_server.server().Get(".*", [this](const httplib::Request &req, httplib::Response &res) {
        std::unique_lock lock(m_mutex);
        const auto it = m_bodies.find(req.path);
        if (it == m_bodies.end()) {
            res.status = 404;
            return;
        }
        const std::string body = it->second;
        const bool drop = req.path.rfind("/f/", 0) == 0 && m_random() % 3 == 0;
        // The client may ask again for a file whose connection went; only
        // its last answer tells whether it must arrive.
        if (drop)
            m_servedWhole.erase(req.path);
        else if (req.path.rfind("/f/", 0) == 0)
            m_servedWhole.insert(req.path);
        lock.unlock();
        if (!drop) {
            res.set_content(body, "application/octet-stream");
            m_answered += int(req.path.rfind("/f/", 0) == 0);
            m_listsAnswered += int(req.path == "/updates.txt");
            return;
        }
        // Half the body, then the connection goes.
        res.set_content_provider(body.size(), "application/octet-stream",
                                 [this, body](size_t offset, size_t, httplib::DataSink &sink) {
                                     if (offset == 0)
                                         sink.write(body.data(), body.size() / 2);
                                     ++m_dropped;
                                     ++m_answered;
                                     return false;
                                 });
    });
    m_server.start();

    // The program folder: the updater, its profile, half the files in an old
    // version, and a file of the player's that no update names.
    const QString updater = program.filePath("updater");
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_BINARY), updater));
    const QString init = program.filePath("updates/init.ini");
    QVERIFY(WriteFile(init, ("[GENERAL]\nHello=" + m_server.url("/hello.txt") + "\nUpdateFileURL=" +
                             m_server.url(QString()) + "\nLastUpdate=\nLastUpdateTime=\n")
                                .toUtf8()));
    for (auto it = release.cbegin(); it != release.cend(); it = std::next(it, 2))
        QVERIFY(WriteFile(program.filePath(it.key()), "old " + it.key().toUtf8()));
    const QByteArray save = "the player's own save";
    QVERIFY(WriteFile(program.filePath("save.dat"), save));

    const auto staged = [&](const QString &name) {
        return program.filePath("updates/staging/" + name);
    };
    const auto inPlace = [&](const QString &name) {
        return ReadAll(program.filePath(name)) == release[name] ||
               ReadAll(staged(name)) == release[name];
    };

    std::mt19937 kills(Seed + 1);
    QElapsedTimer elapsed;
    elapsed.start();
    int rounds = 0, killedStaging = 0, killedCommit = 0, stalled = 0;
    const auto start = [&](QProcess &process, std::optional<int> movesAtKill) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        if (movesAtKill)
            environment.insert("UPDATER_EXIT_AFTER_MOVES", QString::number(*movesAtKill));
        process.setProcessEnvironment(environment);
        process.start(updater, {});
        return process.waitForStarted();
    };
    // Three releases: all files new (half of them replacing old ones), then
    // 100 changed, then 30 changed.
    for (int releaseNumber = 1; releaseNumber <= 3; ++releaseNumber) {
        if (releaseNumber > 1) {
            std::mt19937 pick(Seed + releaseNumber);
            const QStringList names = release.keys();
            for (int changed = 0; changed < (releaseNumber == 2 ? 100 : 30); ++changed)
                release[names[int(pick() % names.size())]].append(char(releaseNumber));
        }
        publish(releaseNumber);
        const QByteArray recordLine = "LastUpdateTime=soak" + QByteArray::number(releaseNumber);
        const auto recorded = [&] {
            return ReadAll(init).contains(recordLine) &&
                   !QFile::exists(program.filePath("updates/update.journal"));
        };
        while (!recorded() && elapsed.elapsed() < BudgetMs) {
            ++rounds;
            QStringList wanted; // files this round must fetch
            for (auto it = release.cbegin(); it != release.cend(); ++it)
                if (!inPlace(it.key()))
                    wanted += it.key();
            {
                std::lock_guard lock(m_mutex);
                m_servedWhole.clear();
            }
            const int answeredBefore = m_answered;
            // A third of the rounds are killed while files arrive, the others
            // by the commit hook (which fires only once every file came).
            const bool killWhileStaging = wanted.size() > 4 && kills() % 3 == 0;
            const int stagedAtKill = killWhileStaging ? int(1 + kills() % (wanted.size() / 2)) : 0;
            // The commit's moves: every file not yet the release's in place.
            int moves = 0;
            for (auto it = release.cbegin(); it != release.cend(); ++it)
                moves += int(ReadAll(program.filePath(it.key())) != it.value());
            const int movesAtKill = int(kills() % std::max(moves, 1));

            QProcess process;
            QVERIFY(
                start(process, killWhileStaging ? std::nullopt : std::optional<int>(movesAtKill)));
            if (killWhileStaging) {
                const bool reached = QTest::qWaitFor(
                    [&] {
                        if (process.state() != QProcess::Running)
                            return true;
                        int count = 0;
                        QDirIterator it(program.filePath("updates/staging"), QDir::Files,
                                        QDirIterator::Subdirectories);
                        while (it.hasNext() && count < stagedAtKill) {
                            it.next();
                            ++count;
                        }
                        return count >= stagedAtKill;
                    },
                    60000);
                QVERIFY(reached);
                ++killedStaging;
            } else {
                // The round has ended when every file it wanted has been
                // answered and each one served whole is staged or in place,
                // and either the update was recorded, or the hook stopped the
                // commit, or some file failed.
                const bool ended = QTest::qWaitFor(
                    [&] {
                        if (process.state() != QProcess::Running || recorded())
                            return true;
                        if (m_answered - answeredBefore < wanted.size())
                            return false;
                        std::lock_guard lock(m_mutex);
                        for (const QString &name : wanted) {
                            if (m_servedWhole.count(urlOf[name]) && !inPlace(name))
                                return false;
                        }
                        return m_servedWhole.size() < size_t(wanted.size());
                    },
                    10000);
                // A client that asks again for a file whose connection went may
                // still fail it after a whole answer (the engine decides): the
                // round then never signals its end, and is killed like the rest.
                stalled += int(!ended);
                killedCommit += int(process.state() != QProcess::Running);
            }
            process.kill();
            process.waitForFinished(5000);
        }
        // One more start finishes a commit that the last round's hook or kill
        // cut short, recorded or not.
        const QString journal = program.filePath("updates/update.journal");
        if (QFile::exists(journal)) {
            QProcess process;
            QVERIFY(start(process, std::nullopt));
            QTRY_VERIFY_WITH_TIMEOUT(recorded() && !QFile::exists(journal), 30000);
            process.kill();
            process.waitForFinished(5000);
        }
        QVERIFY2(recorded(),
                 qPrintable("release " + QString::number(releaseNumber) + " was never recorded"));
    }

    // The next start after the last kill clears what that kill left (a list
    // half written, say); once it has fetched the list and put it in place,
    // nothing of it is left beside the profiles.
    {
        const int listsBefore = m_listsAnswered;
        QProcess process;
        QVERIFY(start(process, std::nullopt));
        QTRY_VERIFY_WITH_TIMEOUT(m_listsAnswered > listsBefore &&
                                     QDir(program.filePath("updates"))
                                         .entryList(QDir::Files | QDir::Hidden, QDir::Name)
                                         .filter(QRegularExpression(R"(\.part$|arriving)"))
                                         .isEmpty(),
                                 30000);
        process.kill();
        process.waitForFinished(5000);
    }

    qInfo("soak: 3 releases, %d rounds; faults injected and survived: %d connections dropped "
          "mid-body, %d updaters killed while files arrived, %d stopped in their commit; "
          "%d file requests answered; %d rounds killed after waiting 10 s for their end",
          rounds, int(m_dropped), killedStaging, killedCommit, int(m_answered), stalled);

    QMap<QString, QByteArray> expected = release;
    expected.insert("save.dat", save);
    expected.insert("updater", ReadAll(updater));
    QMap<QString, QByteArray> files = FilesBelow(program.path());
    for (const char *kept : {"updates/init.ini", "updates/updates.ini", "updates/updater.lock"})
        files.remove(kept);
    QStringList extra;
    for (const QString &name : files.keys())
        if (!expected.contains(name))
            extra << name;
    QVERIFY2(extra.isEmpty(), qPrintable("left behind: " + extra.join(", ")));
    QCOMPARE(files.keys(), expected.keys());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QVERIFY2(files[it.key()] == it.value(), qPrintable(it.key()));
    QVERIFY(m_dropped > 0);
}

QTEST_GUILESS_MAIN(soak_WholeUpdate)
#include "soak_WholeUpdate.moc"
