// updater-pack: the publisher's side of an update. Makes a minisign key pair
// and lays out a server folder (files, signed update list, greeting) from a
// game folder, printing the init.ini lines to ship with the updater.

#include "format/ChunkIndex.h"
#include "format/ListFormat.h"
#include "format/MinisignKey.h"
#include "tools/Password.h"
#include "tools/ServerLayout.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
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
    "  updater-pack keygen [-W] SECRET_FILE PUBLIC_FILE\n"
    "  updater-pack build GAME_DIR SERVER_DIR --url BASE_URL [--mirror BASE_URL ...]\n"
    "               [--secret SECRET_FILE]\n"
    "               [--date TEXT] [--time TEXT] [--greeting TEXT] [--expires DAYS]\n"
    "               [--include-updater] [--set KEY=VALUE ...]\n"
    "  updater-pack prune SERVER_DIR --keep N\n"
    "  updater-pack --help\n";

const char HelpText[] =
    "\n"
    "keygen  writes a minisign key pair: SECRET_FILE readable by its owner only\n"
    "        and encrypted with a password as minisign -G does (-W: unencrypted),\n"
    "        PUBLIC_FILE as minisign writes it. Existing files are never\n"
    "        overwritten. Prints the PublicKey= line for init.ini.\n"
    "build   copies every file of GAME_DIR to SERVER_DIR/files/ and writes\n"
    "        SERVER_DIR/updates.txt listing each with its address below\n"
    "        BASE_URL/files/, target folder, name, size and SHA-256;\n"
    "        SERVER_DIR/hello.txt with the greeting; and with --secret\n"
    "        SERVER_DIR/updates.txt.minisig, which minisign -V accepts.\n"
    "        Files are stored by their SHA-256 (files/<2 hex>/<64 hex>), each of\n"
    "        1 MiB or more with its chunk index (<index's 64 hex>.chunks).\n"
    "        SERVER_DIR must not exist yet, be empty or hold an earlier build,\n"
    "        to which only new content is added; its list and the list kept in\n"
    "        SERVER_DIR/lists/ are replaced and added. --date and --time\n"
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
    "prune   removes from SERVER_DIR the stored files that neither the N\n"
    "        newest kept lists nor updates.txt name, and the older lists.\n"
    "\n"
    "Secret keys made by `minisign -G` work as well. The password of a secret\n"
    "key is asked on the terminal, or taken from UPDATER_PACK_PASSWORD if set.\n"
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

// Wipes a password when it goes out of use, so that it does not linger in
// freed memory.
struct WipedPassword {
    std::optional<QByteArray> bytes;
    ~WipedPassword()
    {
        if (bytes)
            sodium_memzero(bytes->data(), std::size_t(bytes->size()));
    }
};

int keygen(QStringList args)
{
    const bool unencrypted = args.removeAll(QStringLiteral("-W")) > 0;
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
    WipedPassword password;
    if (!unencrypted) {
        Password::Result asked =
            Password::obtain(QStringLiteral("Password for the new secret key: "), true);
        password.bytes = std::move(asked.password);
        if (!password.bytes)
            return fail(asked.problem + QStringLiteral("; -W makes a key without one"));
        // minisign takes an empty password, but it protects nothing.
        if (password.bytes->isEmpty())
            return fail(QStringLiteral("the password is empty (-W makes a key without one)"));
    }
    const MinisignKey::KeyFiles files = MinisignKey::generate(password.bytes);
    if (files.secretFile.isEmpty())
        return fail(QStringLiteral("scrypt lacks the memory to encrypt the key"));
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

// Replaces `path` in one rename, so that a server never serves half a file.
QString writeAtomically(const QString &path, const QByteArray &content,
                        QFileDevice::Permissions permissions)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() ||
        !file.setPermissions(permissions) || !file.commit())
        return QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return {};
}

// A folder this tool built before: its stored content, kept lists and the
// current list's files (QSaveFile's leftovers included), nothing else. A
// build adds to it without touching what earlier lists name.
bool isEarlierBuild(const QString &folder)
{
    const QDir dir(folder);
    const QStringList names =
        dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    return QFileInfo(dir.filePath(QStringLiteral("lists"))).isDir() &&
           names.contains(ListFormat::ServerName) &&
           std::all_of(names.cbegin(), names.cend(), [](const QString &name) {
               return name == QLatin1String("files") || name == QLatin1String("lists") ||
                      name.startsWith(QLatin1String(ListFormat::ServerName)) ||
                      name.startsWith(QLatin1String("hello.txt"));
           });
}

// Moves the finished `temporary` to the content address `stored` below
// `out`; content already there is the same bytes and is kept as it is, so
// an address an earlier list names never changes.
QString store(const QDir &out, const QString &temporary, const QString &stored)
{
    const QString target = out.filePath(stored);
    if (!QDir().mkpath(QFileInfo(target).absolutePath()))
        return QStringLiteral("cannot create %1").arg(QFileInfo(target).absolutePath());
    if (QFileInfo::exists(target))
        return QFile::remove(temporary) ? QString()
                                        : QStringLiteral("cannot remove %1").arg(temporary);
    return QFile::rename(temporary, target) ? QString()
                                            : QStringLiteral("cannot create %1").arg(target);
}

// Writes the chunk index of the stored file of `file` beside it and pins it
// in `file`.
QString storeChunkIndex(const QDir &out, ServerLayout::GameFile &file)
{
    QFile stored(out.filePath(ServerLayout::storedPath(file.sha256)));
    if (!stored.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(stored.fileName(), stored.errorString());
    const ChunkIndex::ChunkedFile chunked = ChunkIndex::chunkFile(stored);
    if (!chunked.error.isEmpty())
        return QStringLiteral("%1: %2").arg(stored.fileName(), chunked.error);
    const QByteArray index = ChunkIndex::write(chunked.chunks);
    file.chunksSha256 = QCryptographicHash::hash(index, QCryptographicHash::Sha256);
    const QString temporary = out.filePath(QStringLiteral("files/.incoming.chunks"));
    QFile::remove(temporary);
    if (const QString error =
            writeNew(temporary, index,
                     QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
        !error.isEmpty())
        return error;
    return store(out, temporary,
                 ServerLayout::storedPath(file.chunksSha256, QStringLiteral(".chunks")));
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
    const bool earlierBuild = isEarlierBuild(options.serverDir);
    if (!earlierBuild && (server.exists() || server.isSymLink())) {
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
        const QByteArray content = file.read(64 * 1024);
        // The password is asked only for a key that needs one.
        MinisignKey::ReadResult read = [&] {
            MinisignKey::ReadResult plain = MinisignKey::readSecretKey(content);
            if (!plain.needsPassword)
                return plain;
            Password::Result asked = Password::obtain(
                QStringLiteral("Password for %1: ").arg(options.secretFile), false);
            WipedPassword password{std::move(asked.password)};
            if (!password.bytes)
                return MinisignKey::ReadResult{std::nullopt, false, asked.problem};
            return MinisignKey::readSecretKey(content, *password.bytes);
        }();
        if (!read.key)
            return fail(QStringLiteral("%1: %2").arg(options.secretFile, read.problem));
        key.emplace(std::move(*read.key));
    }

    ServerLayout::Scan scan = ServerLayout::scanGame(gamePath, options.includeUpdater);
    // The updater reads a value of the list up to 4999 bytes; a longer
    // address would arrive cut.
    if (scan.refusal.isEmpty() &&
        (options.baseUrl + u'/' + ServerLayout::storedPath(QByteArray(32, 0), ".chunks"))
                .toUtf8()
                .size() > 4999)
        scan.refusal = QStringLiteral("--url makes addresses longer than the updater reads");
    if (!scan.refusal.isEmpty())
        return fail(QStringLiteral("refused %1; nothing was written").arg(scan.refusal));

    // A new server is built in a folder beside SERVER_DIR that takes its
    // place only when complete, so that a failure halfway leaves nothing
    // behind. An earlier build gets new content under new names first and
    // its list last, so that its players see either list whole.
    if (!QDir().mkpath(server.absolutePath()))
        return fail(QStringLiteral("cannot create %1").arg(server.absolutePath()));
    QTemporaryDir staging(server.absolutePath() + QStringLiteral("/.") + server.fileName() +
                          QStringLiteral(".partial-XXXXXX"));
    if (!staging.isValid())
        return fail(QStringLiteral("cannot create a folder beside %1: %2")
                        .arg(options.serverDir, staging.errorString()));
    const QDir out(earlierBuild ? options.serverDir : staging.path());
    if (!out.mkpath(QStringLiteral("files")) || !out.mkpath(QStringLiteral("lists")))
        return fail(QStringLiteral("cannot create folders in %1").arg(out.path()));

    qint64 totalBytes = 0;
    for (const ServerLayout::GameFile &file : scan.files)
        totalBytes += file.size;
    {
        PackProgress progress(scan.files.size(), totalBytes);
        qint64 bytesBefore = 0;
        for (qsizetype n = 0; n < scan.files.size(); ++n) {
            ServerLayout::GameFile &file = scan.files[n];
            const QString temporary = out.filePath(QStringLiteral("files/.incoming"));
            QFile::remove(temporary); // left by a build that was stopped
            QString error = ServerLayout::copyHashed(
                QDir(gamePath).filePath(file.relativePath), temporary, file,
                [&](qint64 copied) { progress.update(n, bytesBefore + copied); });
            if (error.isEmpty())
                error = store(out, temporary, ServerLayout::storedPath(file.sha256));
            if (error.isEmpty() && file.size >= ChunkIndex::SmallestChunkedFile)
                error = storeChunkIndex(out, file);
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
    // Kept for `prune`, named so that names sort as the builds' times do.
    QString error = writeNew(out.filePath(QStringLiteral("lists/") +
                                          QDateTime::currentDateTimeUtc().toString(
                                              QStringLiteral("yyyyMMddTHHmmsszzz")) +
                                          QStringLiteral(".txt")),
                             list, readable);
    if (error.isEmpty() && key) {
        QByteArray comment = "timestamp:" + QByteArray::number(now);
        if (options.expiresDays)
            comment += "\texpires:" + QByteArray::number(now + *options.expiresDays * 86400);
        error = writeAtomically(
            out.filePath(ListFormat::ServerName + QString(ListFormat::SignatureSuffix)),
            MinisignKey::sign(*key, list, comment), readable);
    }
    if (error.isEmpty())
        error = writeAtomically(out.filePath(ListFormat::ServerName), list, readable);
    if (error.isEmpty())
        error = writeAtomically(out.filePath(QStringLiteral("hello.txt")),
                                options.greeting.toUtf8(), readable);
    if (error.isEmpty() && !earlierBuild &&
        !QFile::setPermissions(staging.path(), readable | QFileDevice::ExeOwner |
                                                   QFileDevice::ExeGroup | QFileDevice::ExeOther))
        error = QStringLiteral("cannot open %1 to readers").arg(staging.path());
    if (!error.isEmpty())
        return fail(error);
    if (!earlierBuild) {
        if (server.exists() && !QDir().rmdir(options.serverDir))
            return fail(
                QStringLiteral("cannot replace the empty folder %1").arg(options.serverDir));
        if (!QDir().rename(staging.path(), options.serverDir))
            return fail(
                QStringLiteral("cannot move the new server folder to %1").arg(options.serverDir));
        staging.setAutoRemove(false);
    }

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

// Removes what no list a player may still hold names: the players of the
// kept versions keep their addresses, the rest would only cost storage.
int prune(const QStringList &args)
{
    bool ok = false;
    const qsizetype at = args.indexOf(QStringLiteral("--keep"));
    const qint64 keep = at >= 0 && at + 1 < args.size() ? args[at + 1].toLongLong(&ok) : 0;
    if (args.size() != 3 || at < 0 || !ok || keep < 1)
        return usageError(QStringLiteral("prune takes SERVER_DIR and --keep N, N from 1"));
    const QDir server{QFileInfo(args[at == 0 ? 2 : 0]).absoluteFilePath()};
    if (!isEarlierBuild(server.path()))
        return fail(
            QStringLiteral("%1 is not a server folder built by updater-pack").arg(server.path()));
    QDir listDir(server.filePath(QStringLiteral("lists")));
    const QStringList lists = listDir.entryList({QStringLiteral("*.txt")}, QDir::Files, QDir::Name);
    const qsizetype older = std::max<qsizetype>(0, lists.size() - keep);
    QStringList kept = {server.filePath(ListFormat::ServerName)};
    for (qsizetype n = older; n < lists.size(); ++n)
        kept.append(listDir.filePath(lists[n]));
    // Whatever a list's base address, its stored names read the same.
    static const QRegularExpression storedName(
        QStringLiteral("files/[0-9a-f]{2}/[0-9a-f]{64}(\\.chunks)?"));
    QSet<QString> named;
    for (const QString &path : kept) {
        QFile list(path);
        if (!list.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read %1: %2").arg(path, list.errorString()));
        const QString text = QString::fromUtf8(list.readAll());
        for (const QRegularExpressionMatch &match : storedName.globalMatch(text))
            named.insert(match.captured());
    }
    qint64 removed = 0;
    qint64 bytes = 0;
    QDirIterator stored(server.filePath(QStringLiteral("files")), QDir::Files | QDir::Hidden,
                        QDirIterator::Subdirectories);
    while (stored.hasNext()) {
        const QString path = stored.next();
        if (named.contains(server.relativeFilePath(path)))
            continue;
        const qint64 size = stored.fileInfo().size();
        if (!QFile::remove(path))
            return fail(QStringLiteral("cannot remove %1").arg(path));
        ++removed;
        bytes += size;
    }
    for (qsizetype n = 0; n < older; ++n) {
        if (!listDir.remove(lists[n]))
            return fail(QStringLiteral("cannot remove %1").arg(listDir.filePath(lists[n])));
    }
    print(stdout, QStringLiteral("Removed %1 stored files (%2 bytes) and %3 older lists.\n")
                      .arg(removed)
                      .arg(bytes)
                      .arg(older));
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
    if (command == QLatin1String("prune"))
        return prune(args);
    return usageError(command.isEmpty() ? QStringLiteral("no command")
                                        : QStringLiteral("unknown command %1").arg(command));
}
