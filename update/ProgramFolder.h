#pragma once

#include <QString>

// The folder that holds the program file, without a trailing separator.
// Defaults to the executable's folder; tests point it at a temporary folder.
QString ProgramFolder();
void SetProgramFolder(const QString &folder);

// A path made of the program folder followed directly by `suffix`, joined as
// plain text; every "\" in the suffix becomes the platform's separator.
QString ProgramPath(const QString &suffix);

// ProgramPath("\updates\init.ini") and ProgramPath("\updates\updates.ini").
QString InitIniPath();
QString UpdatesIniPath();

// The program file: the program folder followed by the executable's own name.
QString ProgramFilePath();
