#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <utility>

// Which names of a game tree can be shipped. The updater runs on Windows and
// refuses or mangles some names that are legal where the publisher packs:
// packing them would ship an update that cannot arrive as packed. Paths are
// relative to the game folder, with "/" between their components.
namespace PackNames
{

// Why `relativePath` cannot be shipped, or empty text when it can.
// `includeUpdater` lets the updater's program file (`updater`, `updater.exe`)
// through, never its working files.
QString problem(const QString &relativePath, bool includeUpdater = false);

// The first two paths (files, or the folders on their way) whose names differ
// only by letter case: Windows keeps one file, or one folder, for both.
std::optional<std::pair<QString, QString>> caseTwins(const QStringList &relativePaths);

} // namespace PackNames
