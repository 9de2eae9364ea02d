#pragma once

#include <QString>

// Every read and write of init.ini and updates.ini goes through these two.
// An absent file, section or key reads as empty text; a refused write is silent.
// Reads are served from ProfileCache while the file is unchanged.
QString ReadIni(const QString &file, const QString &section, const QString &key);
void WriteIni(const QString &file, const QString &section, const QString &key,
              const QString &value);
