#pragma once

#include <QString>

// How many sections the profile file holds, repeated names included; 0 when
// the file is absent or unreadable.
qsizetype sectionCount(const QString &file);
