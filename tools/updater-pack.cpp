// updater-pack: the publisher's side of an update. Makes a minisign key pair
// and lays out a server folder (files, signed update list, greeting) from a
// game folder, printing the init.ini lines to ship with the updater.

#include "format/ListFormat.h"
#include "format/MinisignKey.h"
#include "tools/ServerLayout.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QUrl>
#include <cstdio>
#include <optional>
#include <sodium.h>

namespace
{

enum Exit { Success = 0, Refused = 1, Usage = 2 };

const char UsageText[] =
    "Usage:\n"
    "  updater-pack keygen SECRET_FILE PUBLIC_FILE\n"
    "  updater-pack build GAME_DIR SERVER_DIR --url BASE_URL [--mirror BASE_URL ...]\n"
    "               [--secret SECRET_FILE]\n"
    "               [--date TEXT] [--time TEXT] [--greeting TEXT] [--expires DAYS]\n"
    "               [--include-updater] [--set KEY=VALUE ...]\n"
    "  updater-pack --help\n";

const char HelpText[] =
    "\n"
    "keygen  writes a minisign key pair: SECRET_FILE unencrypted and readable by\n"
    "        its owner only, PUBLIC_FILE as minisign writes it. Existing files are\n"
    "        never overwritten. Prints the PublicKey= line for init.ini.\n"
    "build   copies every file of GAME_DIR to SERVER_DIR/files/ and writes\n"
    "        SERVER_DIR/updates.txt listing each with its address below\n"
    "        BASE_URL/files/, target folder, name, size and SHA-256;\n"
    "        SERVER_DIR/hello.txt with the greeting; and with --secret\n"
    "        SERVER_DIR/updates.txt.minisig, which minisign -V accepts.\n"
    "        SERVER_DIR must not exist yet or be empty. --date and --time\n"
    "        default to now (YYYY-MM-DD, HH:MM:SS); --expires DAYS makes\n"
    "        players refuse the list that many days after signing.\n"
    "        Each --mirror names another server holding SERVER_DIR below that\n"
    "        base: the list names them, and players fetch a file there when the\n"
    "        first server fails it.\n"
    "        --include-updater packs the updater's program file (updater,\n"
    "        updater.exe at the top of GAME_DIR) so that players get a new\n"
    "        updater; it needs --secret, since players take it only signed.\n"
    "        Each --set KEY=VALUE puts a setting into the signed list, written\n"
    "        into every player's init.ini with the update: UpdateFileURL and\n"
    "        Hello (moving host), Mirrors, PublicKey (a new key: sign this\n"
    "        list with the old one, the next ones with the new). Needs --secret.\n"
    "        Names the updater would refuse or change on Windows, the updater's\n"
    "        own files and links are refused and nothing is written. Prints\n"
    "        the init.ini lines to ship.\n"
    "\n"
    "Secret keys made by `minisign -G -W` work as well.\n"
    "Exit status: 0 success, 1 refused input or failure, 2 usage error.\n";

void print(FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

int fail(const QString &text)
{
    print(stderr, QStringLiteral("updater-pack: %1\n").arg(text));
    return Refused;
}

int usageError(const QString &text)
{
    print(stderr, QStringLiteral("updater-pack: %1\n").arg(text));
    std::fputs(UsageText, stderr);
    return Usage;
}

// Text that has to stay one line of the update list or of hello.txt.
bool isOneLine(const QString &text)
{
    return std::none_of(text.cbegin(), text.cend(),
                        [](QChar c) { return c.category() == QChar::Other_Control; });
}

// Creates `path` only if it does not exist, with the given permissions from
// the start, so that a secret key is never readable by others, not even for
// a moment.
QString writeNew(const QString &path, const QByteArray &content,
                 QFileDevice::Permissions permissions)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, permissions))
        return QStringLiteral("cannot create %1: %2").arg(path, file.errorString());
    if (file.write(content) != content.size() || !file.flush()) {
        const QString error = file.errorString();
        file.remove();
        return QStringLiteral("cannot write %1: %2").arg(path, error);
    }
    return {};
}

int keygen(const QStringList &args)
{
    if (args.size() != 2)
        return usageError(QStringLiteral("keygen takes SECRET_FILE and PUBLIC_FILE"));
    const QString &secretPath = args[0];
    const QString &publicPath = args[1];
    if (QFileInfo(secretPath).absoluteFilePath() == QFileInfo(publicPath).absoluteFilePath())
        return usageError(QStringLiteral("SECRET_FILE and PUBLIC_FILE are the same file"));
    for (const QString &path : {secretPath, publicPath}) {
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
            return fail(QStringLiteral("%1 exists; refusing to overwrite it").arg(path));
    }
    const MinisignKey::KeyFiles files = MinisignKey::generate();
    QString error =
        writeNew(secretPath, files.secretFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (error.isEmpty()) {
        error = writeNew(publicPath, files.publicFile,
                         QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                             QFileDevice::ReadOther);
        if (!error.isEmpty())
            QFile::remove(secretPath);
    }
    if (!error.isEmpty())
        return fail(error);
    print(stdout, QStringLiteral("PublicKey=%1\n").arg(QString::fromLatin1(files.publicKeyLine)));
    return Success;
}

struct BuildOptions {
    QString gameDir;
    QString serverDir;
    QString baseUrl;
    QStringList mirrors;
    QString secretFile;
    std::optional<QString> date;
    std::optional<QString> time;
    QString greeting;
    std::optional<qint64> expiresDays;
    bool includeUpdater = false;
    QList<std::pair<QString, QString>> settings;
};

// A base as the updater takes it: http(s), a host, no blanks (the list's
// Mirrors value is split at blanks), no query or fragment; "/" at its end dropped.
bool isBaseUrl(QString &base)
{
    while (base.endsWith(u'/'))
        base.chop(1);
    const QUrl url(base, QUrl::StrictMode);
    return url.isValid() &&
           (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https")) &&
           !url.host().isEmpty() && !url.hasQuery() && !url.hasFragment() && !base.contains(u' ');
}

// Parses the build arguments; returns an error text for a usage error.
QString parseBuild(const QStringList &args, BuildOptions &options)
{
    QStringList positional;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args[i];
        if (!arg.startsWith(QLatin1String("--"))) {
            positional.append(arg);
            continue;
        }
        if (arg == QLatin1String("--include-updater")) {
            options.includeUpdater = true;
            continue;
        }
        QString name = arg;
        std::optional<QString> value;
        if (const qsizetype equals = arg.indexOf(u'='); equals > 0) {
            name = arg.first(equals);
            value = arg.sliced(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        }
        if (!value)
            return QStringLiteral("%1 needs a value").arg(name);
        if (name == QLatin1String("--url"))
            options.baseUrl = *value;
        else if (name == QLatin1String("--mirror")) {
            QString base = *value;
            if (!isBaseUrl(base))
                return QStringLiteral("--mirror needs an http:// or https:// address without "
                                      "blanks, query or fragment");
            options.mirrors.append(base);
        } else if (name == QLatin1String("--secret"))
            options.secretFile = *value;
        else if (name == QLatin1String("--date"))
            options.date = *value;
        else if (name == QLatin1String("--time"))
            options.time = *value;
        else if (name == QLatin1String("--greeting"))
            options.greeting = *value;
        else if (name == QLatin1String("--expires")) {
            bool ok = false;
            const qint64 days = value->toLongLong(&ok);
            if (!ok || days < 1 || days > 36500 || !value->front().isDigit())
                return QStringLiteral("--expires takes a number of days from 1 to 36500");
            options.expiresDays = days;
        } else if (name == QLatin1String("--set")) {
            const QString key = value->section(u'=', 0, 0);
            const QString setting = value->section(u'=', 1);
            if (const QString problem = ListFormat::settingProblem(key, setting);
                !problem.isEmpty() || !value->contains(u'='))
                return QStringLiteral("--set KEY=VALUE: %1")
                    .arg(problem.isEmpty() ? *value : problem);
            options.settings.append({key, setting});
        } else {
            return QStringLiteral("unknown option %1").arg(name);
        }
    }
    if (positional.size() != 2)
        return QStringLiteral("build takes GAME_DIR and SERVER_DIR");
    // Cleaned, so that "server/" names the folder "server" and not an empty name in it.
    options.gameDir = QDir::cleanPath(positional[0]);
    options.serverDir = QDir::cleanPath(positional[1]);

    if (options.baseUrl.isEmpty())
        return QStringLiteral("--url BASE_URL is required");
    if (!isBaseUrl(options.baseUrl))
        return QStringLiteral("--url needs an http:// or https:// address without blanks, "
                              "query or fragment");
    if (options.expiresDays && options.secretFile.isEmpty())
        return QStringLiteral("--expires needs --secret: only a signed list carries an expiry");
    for (const auto &[name, text] :
         {std::pair{QStringLiteral("--date"), options.date.value_or(QString())},
          std::pair{QStringLiteral("--time"), options.time.value_or(QString())},
          std::pair{QStringLiteral("--greeting"), options.greeting}}) {
        if (!isOneLine(text))
            return QStringLiteral("%1 must be one line without control characters").arg(name);
    }
    return {};
}

bool isInside(const QString &path, const QString &folder)
{
    return path == folder || path.startsWith(folder.endsWith(u'/') ? folder : folder + u'/');
}

// Prints a progress line at most once a second, and only once the run has
// taken a second: short runs stay quiet.
class PackProgress
{
public:
    PackProgress(qsizetype files, qint64 bytes) : m_files(files), m_bytes(bytes)
    {
        m_clock.start();
    }
    ~PackProgress()
    {
        if (m_shown)
            std::fputc('\n', stderr);
    }
    void update(qsizetype filesDone, qint64 bytesDone)
    {
        if (m_clock.elapsed() < m_next)
            return;
        m_next = m_clock.elapsed() + 1000;
        if (m_next < 2000)
            return;
        m_shown = true;
        print(stderr, QStringLiteral("\rupdater-pack: %1 of %2 files, %3 of %4 MiB")
                          .arg(filesDone)
                          .arg(m_files)
                          .arg(bytesDone >> 20)
                          .arg(m_bytes >> 20));
    }

private:
    QElapsedTimer m_clock;
    qint64 m_next = 0;
    qsizetype m_files;
    qint64 m_bytes;
    bool m_shown = false;
};

int build(const QStringList &args)
{
    BuildOptions options;
    if (const QString error = parseBuild(args, options); !error.isEmpty())
        return usageError(error);

    const QFileInfo game(options.gameDir);
    if (!game.isDir())
        return usageError(QStringLiteral("%1 is not a folder").arg(options.gameDir));
    const QString gamePath = game.canonicalFilePath();
    const QFileInfo server(options.serverDir);
    // The server folder's parent is resolved through its links, so that a
    // server folder inside the game folder is seen whatever the path says.
    const QString serverParent = server.absoluteDir().canonicalPath();
    const QString serverPath = serverParent.isEmpty() ? server.absoluteFilePath()
                                                      : serverParent + u'/' + server.fileName();
    if (isInside(serverPath, gamePath) || isInside(gamePath, serverPath))
        return usageError(QStringLiteral("GAME_DIR and SERVER_DIR must not contain each other"));
    if (server.exists() || server.isSymLink()) {
        if (!server.isDir() ||
            !QDir(options.serverDir)
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)
                 .isEmpty())
            return fail(QStringLiteral("%1 exists and is not an empty folder; refusing to write "
                                       "into it")
                            .arg(options.serverDir));
    }

    // Players take a new updater or new settings only from a signed list:
    // unsigned, the release would fail (or be ignored) for every player.
    if ((options.includeUpdater || !options.settings.isEmpty()) && options.secretFile.isEmpty())
        return fail(QStringLiteral("%1 needs --secret: players take it only from a signed list")
                        .arg(options.includeUpdater ? QStringLiteral("--include-updater")
                                                    : QStringLiteral("--set")));

    std::optional<MinisignKey::SecretKey> key;
    if (!options.secretFile.isEmpty()) {
        QFile file(options.secretFile);
        if (!file.open(QIODevice::ReadOnly))
            return fail(
                QStringLiteral("cannot read %1: %2").arg(options.secretFile, file.errorString()));
        MinisignKey::ReadResult read = MinisignKey::readSecretKey(file.read(64 * 1024));
        if (!read.key)
            return fail(QStringLiteral("%1: %2").arg(options.secretFile, read.problem));
        key.emplace(std::move(*read.key));
    }

    ServerLayout::Scan scan = ServerLayout::scanGame(gamePath, options.includeUpdater);
    // The updater reads a value of the list up to 4999 bytes; a longer
    // address would arrive cut.
    for (const ServerLayout::GameFile &file : scan.files) {
        if (!scan.refusal.isEmpty())
            break;
        if (ServerLayout::fileUrl(options.baseUrl, file.relativePath).size() > 4999)
            scan.refusal = u'"' + file.relativePath +
                           QStringLiteral("\" has an address longer "
                                          "than the updater reads");
    }
    if (!scan.refusal.isEmpty())
        return fail(QStringLiteral("refused %1; nothing was written").arg(scan.refusal));

    // Everything is built in a folder beside SERVER_DIR that takes its place
    // only when complete, so that a failure halfway leaves nothing behind.
    if (!QDir().mkpath(server.absolutePath()))
        return fail(QStringLiteral("cannot create %1").arg(server.absolutePath()));
    QTemporaryDir staging(server.absolutePath() + QStringLiteral("/.") + server.fileName() +
                          QStringLiteral(".partial-XXXXXX"));
    if (!staging.isValid())
        return fail(QStringLiteral("cannot create a folder beside %1: %2")
                        .arg(options.serverDir, staging.errorString()));
    const QDir out(staging.path());

    qint64 totalBytes = 0;
    for (const ServerLayout::GameFile &file : scan.files)
        totalBytes += file.size;
    {
        PackProgress progress(scan.files.size(), totalBytes);
        qint64 bytesBefore = 0;
        for (qsizetype n = 0; n < scan.files.size(); ++n) {
            ServerLayout::GameFile &file = scan.files[n];
            const QString target = out.filePath(QStringLiteral("files/") + file.relativePath);
            if (!QDir().mkpath(QFileInfo(target).absolutePath()))
                return fail(
                    QStringLiteral("cannot create %1").arg(QFileInfo(target).absolutePath()));
            const QString error = ServerLayout::copyHashed(
                QDir(gamePath).filePath(file.relativePath), target, file,
                [&](qint64 copied) { progress.update(n, bytesBefore + copied); });
            if (!error.isEmpty())
                return fail(error);
            bytesBefore += file.size;
        }
    }

    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QDateTime local = QDateTime::fromSecsSinceEpoch(now);
    const QByteArray list =
        ServerLayout::updateList(
            scan.files, options.baseUrl,
            options.date.value_or(local.toString(QStringLiteral("yyyy-MM-dd"))),
            options.time.value_or(local.toString(QStringLiteral("HH:mm:ss"))), options.mirrors) +
        ListFormat::settingsSection(options.settings);
    const QFileDevice::Permissions readable = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ReadGroup | QFileDevice::ReadOther;
    QString error = writeNew(out.filePath(ListFormat::ServerName), list, readable);
    if (error.isEmpty())
        error = writeNew(out.filePath(QStringLiteral("hello.txt")), options.greeting.toUtf8(),
                         readable);
    if (error.isEmpty() && key) {
        QByteArray comment = "timestamp:" + QByteArray::number(now);
        if (options.expiresDays)
            comment += "\texpires:" + QByteArray::number(now + *options.expiresDays * 86400);
        error =
            writeNew(out.filePath(ListFormat::ServerName + QString(ListFormat::SignatureSuffix)),
                     MinisignKey::sign(*key, list, comment), readable);
    }
    if (error.isEmpty() &&
        !QFile::setPermissions(staging.path(), readable | QFileDevice::ExeOwner |
                                                   QFileDevice::ExeGroup | QFileDevice::ExeOther))
        error = QStringLiteral("cannot open %1 to readers").arg(staging.path());
    if (!error.isEmpty())
        return fail(error);
    if (server.exists() && !QDir().rmdir(options.serverDir))
        return fail(QStringLiteral("cannot replace the empty folder %1").arg(options.serverDir));
    if (!QDir().rename(staging.path(), options.serverDir))
        return fail(
            QStringLiteral("cannot move the new server folder to %1").arg(options.serverDir));
    staging.setAutoRemove(false);

    print(stdout, QStringLiteral("%1 files packed into %2. Ship these lines in the [GENERAL] "
                                 "section of init.ini:\n")
                      .arg(scan.files.size())
                      .arg(options.serverDir));
    print(stdout, QStringLiteral("Hello=%1/hello.txt\nUpdateFileURL=%1\n").arg(options.baseUrl));
    if (key)
        print(stdout,
              QStringLiteral("PublicKey=%1\n").arg(QString::fromLatin1(key->publicKeyLine())));
    return Success;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"))) {
        std::fputs(UsageText, stdout);
        std::fputs(HelpText, stdout);
        return Success;
    }
    if (sodium_init() < 0)
        return fail(QStringLiteral("libsodium cannot be set up"));
    const QString command = args.isEmpty() ? QString() : args.takeFirst();
    if (command == QLatin1String("keygen"))
        return keygen(args);
    if (command == QLatin1String("build"))
        return build(args);
    return usageError(command.isEmpty() ? QStringLiteral("no command")
                                        : QStringLiteral("unknown command %1").arg(command));
}
