#pragma once

#include <QString>

// Keeps the files of an update where the update may put them: below the
// program folder, and never onto the two profile files.
class FileNameGuard
{
public:
    // False for a "SavePath" or "FileName" with a ":" or a component that
    // climbs out of its folder ("..", and forms that Windows reads as "..",
    // such as "..." or ".. "); "\" and "/" both separate components.
    static bool StaysInside(const QString &name);

    // True when `target` names init.ini or updates.ini, whatever the case.
    static bool IsProfile(const QString &target);
};
