#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>
#include <utility>

// The update list as the publisher's tool writes it and the updater reads it:
// a profile file (see profile/ProfileFile.h) with a [GENERAL] section and one
// [FILE<n>] section per file. Both sides take the names from here, so that a
// key renamed on one side cannot leave the other reading an empty value.
namespace ListFormat
{

// Where the list and its minisign signature lie on the server, below the
// profile's UpdateFileURL.
inline constexpr char ServerName[] = "updates.txt";
inline constexpr char SignatureSuffix[] = ".minisig";

inline constexpr char General[] = "GENERAL";
inline constexpr char TotalFiles[] = "TotalFiles";
inline constexpr char Date[] = "Date";
inline constexpr char Time[] = "Time";
// Bases below which the files are served too, separated by blanks (also a
// key of init.ini's section of UpdateFileURL, for the list itself).
inline constexpr char Mirrors[] = "Mirrors";

inline constexpr char Url[] = "URL";
inline constexpr char SavePath[] = "SavePath";
inline constexpr char FileName[] = "FileName";
inline constexpr char Size[] = "Size";
inline constexpr char Sha256[] = "SHA256";
// The file's chunk index (format/ChunkIndex.h), for files that have one: its
// address, and its SHA-256 as 64 hex digits.
inline constexpr char ChunksUrl[] = "ChunksURL";
inline constexpr char ChunksSha256[] = "ChunksSHA256";

// A signed list may move its players: the keys of this section are written
// into init.ini's GENERAL section by the commit that installs the list, so a
// publisher can change host (UpdateFileURL, Hello), servers (Mirrors) and
// signing key (PublicKey) without a new installer.
inline constexpr char Settings[] = "SETTINGS";
inline constexpr char UpdateFileUrl[] = "UpdateFileURL";
inline constexpr char Hello[] = "Hello";
inline constexpr char PublicKey[] = "PublicKey";
QStringList settingKeys();

// Why `value` cannot be the setting `key` (empty text when it can): a key
// outside settingKeys(), an address that is not http(s) with a host, a
// Mirrors value with one such base, or a PublicKey that is not a minisign
// public key line. A value written unchecked would cut a player off the
// updates for good: no later list could reach him to repair it.
QString settingProblem(const QString &key, const QString &value);

// The settings section for the end of a list; empty text for no settings.
// The values must be one line each and pass settingProblem().
QByteArray settingsSection(const QList<std::pair<QString, QString>> &settings);

// "FILE<number>", numbered from 1.
QByteArray fileSection(qint64 number);

// One file of the list.
struct FileEntry {
    QByteArray url;   // percent-encoded as it is fetched
    QString savePath; // "" or "\" and the folders below the game folder
    QString fileName;
    qint64 size = 0;
    QByteArray sha256;            // the raw 32 bytes
    QByteArray chunksUrl = {};    // empty: no index, the keys are left out
    QByteArray chunksSha256 = {}; // the raw 32 bytes, written when not empty
};

// The whole list, its files numbered in order. Every value reads back
// unchanged through the profile reader: one with blanks at its ends, or
// enclosed in a pair of quotes, gets quotes of its own. Values must be one
// line each (the caller refuses control characters). `mirrors` (checked
// http(s) bases without blanks) go into one Mirrors line, if any.
QByteArray write(const QList<FileEntry> &files, const QString &date, const QString &time,
                 const QStringList &mirrors = {});

} // namespace ListFormat

// What a file section of the update list says the file must be: its "Size"
// and its "SHA256", each optional. A value that is present but malformed sets
// `malformed`: the file then fails, since a pin that is silently ignored would
// let a changed file through.
struct ExpectedFile {
    bool malformed = false;
    // Bytes: decimal digits only, no sign, within qint64.
    std::optional<qint64> size;
    // The 32 bytes of the digest, from exactly 64 hex digits of either case.
    std::optional<QByteArray> sha256;
};

// `size` and `sha256` as read from the profile; empty text means absent.
ExpectedFile parseExpectedFile(const QString &size, const QString &sha256);
