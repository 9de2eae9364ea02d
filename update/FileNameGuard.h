#pragma once

#include <QString>
#include <optional>

// Keeps the files of an update where the update may put them: below the
// program folder, and never onto the two profile files or the program itself.
class FileNameGuard
{
public:
    // False for a "SavePath" or "FileName" with a ":" or a component that
    // climbs out of its folder ("..", and forms that Windows reads as "..",
    // such as "..." or ".. "); "\" and "/" both separate components.
    static bool staysInside(const QString &name);

    // Where "SavePath" + "\" + "FileName" puts a file, as a path below the
    // program folder with "/" between its components; nothing when that is
    // not a file strictly below the folder. The suffix must begin with a
    // separator: joined as plain text, "evil\x" would land in a sibling
    // folder "<game>evil". Doubled separators and "." components drop out;
    // a ":", a component of only dots and blanks (which Windows reads as ".."
    // or drops), or an empty last component (a folder, not a file) refuse it.
    static std::optional<QString> relativeTarget(const QString &suffix);

    // `path` as Windows finds the file it names: "\" and "/" alike, doubled
    // and trailing separators and "." components gone, ".." taking back the
    // component before it, trailing dots and blanks of each component dropped,
    // letter case folded. Two paths that name one file there give one text.
    static QString normalised(const QString &path);

    // True when `target` names init.ini, updates.ini, the program file, the
    // commit journal, the run lock, the list's signature or the list still
    // arriving (UpdaterFiles::keptFiles()), or lies in the staging folder, in
    // any spelling that normalised() takes to the same text: a list must not
    // overwrite the player's settings, its own list, the running updater or
    // the record of an update being installed.
    static bool isProtected(const QString &target);

    // True when `target` is the updater's own program file, or a library
    // (".dll") beside it at the program folder's root, where Windows keeps
    // the updater's runtime libraries: files the running updater may hold,
    // replaced the way the platform allows (SystemFiles::replaceRunning).
    // The program file is protected; only a signed list may replace it.
    static bool isUpdaterProgram(const QString &target);
};
