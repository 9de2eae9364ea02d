#pragma once

#include <QString>

// The folder that holds the program file, without a trailing separator.
// Defaults to the executable's folder; tests point it at a temporary folder.
QString programFolder();
void setProgramFolder(const QString &folder);

// A path made of the program folder followed directly by `suffix`, joined as
// plain text; every "\" in the suffix becomes the platform's separator.
QString programPath(const QString &suffix);

// The file at `relative` below the program folder ("/" between components,
// see FileNameGuard::relativeTarget), in the platform's spelling.
QString gamePath(const QString &relative);

// gamePath() of UpdaterFiles::InitIni and UpdaterFiles::UpdatesIni.
QString initIniPath();
QString updatesIniPath();

// The program file: the program folder followed by the executable's own name.
QString programFilePath();
