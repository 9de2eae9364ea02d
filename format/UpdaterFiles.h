#pragma once

#include <QLatin1String>
#include <QStringList>

// The files the updater keeps for itself, each named here once, as a path
// below the program folder with "/" between its components. The updater
// reads and writes them there, refuses a list that names one, and the
// publisher's tool refuses to ship one: a name spelt twice could drift apart,
// and a release would then overwrite the player's settings, the list being
// checked or the record of an update being installed. Every name is in lower
// case: the tool compares them with names whose case it has folded.
namespace UpdaterFiles
{

inline constexpr QLatin1String UpdatesFolder("updates");
// The player's settings: where the updates come from, the key, what is installed.
inline constexpr QLatin1String InitIni("updates/init.ini");
// The update list in use, and the minisign signature kept beside it.
inline constexpr QLatin1String UpdatesIni("updates/updates.ini");
inline constexpr QLatin1String UpdatesIniSignature("updates/updates.ini.minisig");
// Where the list and its signature are fetched to before they are checked.
inline constexpr QLatin1String ArrivingList("updates/updates.ini.arriving");
inline constexpr QLatin1String ArrivingSignature("updates/updates.ini.arriving.minisig");
inline constexpr QLatin1String RunLock("updates/updater.lock");
inline constexpr QLatin1String Journal("updates/update.journal");
// What the updater knows of the game files it installed or verified.
inline constexpr QLatin1String StateCache("updates/state.cache");
// A damaged journal is set aside under this name (with "-2" and on after it).
inline constexpr QLatin1String DamagedJournal("updates/update.journal.damaged");
// The files of an update arrive below this folder before the commit.
inline constexpr QLatin1String StagingFolder("updates/staging");
// The program file as shipped, on Linux and on Windows.
inline constexpr QLatin1String ProgramFile("updater");
inline constexpr QLatin1String WindowsProgramFile("updater.exe");

// The files above that an update must never replace, the staging folder and
// the program file excepted (the running updater knows its own name).
QStringList keptFiles();

// Every name above that a shipped file must not have: keptFiles(), the
// staging folder and both program files. A path below the staging folder is
// refused as well; see isInStaging().
QStringList protectedNames();

// True for a path that begins with the staging folder and a "/". Compares
// the text as given: the caller brings both to one spelling first.
bool isInStaging(const QString &path);

} // namespace UpdaterFiles
