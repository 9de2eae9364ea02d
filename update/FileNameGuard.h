#pragma once

#include <QString>

// Keeps the files of an update where the update may put them: below the
// program folder, and never onto the two profile files or the program itself.
class FileNameGuard
{
public:
    // False for a "SavePath" or "FileName" with a ":" or a component that
    // climbs out of its folder ("..", and forms that Windows reads as "..",
    // such as "..." or ".. "); "\" and "/" both separate components.
    static bool staysInside(const QString &name);

    // `path` as Windows finds the file it names: "\" and "/" alike, doubled
    // and trailing separators and "." components gone, ".." taking back the
    // component before it, trailing dots and blanks of each component dropped,
    // letter case folded. Two paths that name one file there give one text.
    static QString normalised(const QString &path);

    // True when `target` names init.ini, updates.ini, the program file or the
    // commit journal, or lies in the staging folder, in any spelling that
    // normalised() takes to the same text: a list must not overwrite the
    // player's settings, its own list, the running updater or the record of
    // an update being installed.
    static bool isProtected(const QString &target);
};
