#pragma once

#include <QString>

// Every read and write of init.ini and updates.ini goes through these two.
// An absent file, section or key reads as empty text; reads are served from
// ProfileCache while the file is unchanged. A write reports nothing to the
// player; it returns whether the profile now holds the value, and leaves the
// file as it was whenever it does not.
QString ReadIni(const QString &file, const QString &section, const QString &key);
bool WriteIni(const QString &file, const QString &section, const QString &key,
              const QString &value);
