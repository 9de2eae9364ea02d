#pragma once

#include <QString>

// What became of a write: true when the profile now holds the value;
// otherwise `error` says which file, which step and the system's word for it.
struct WriteResult {
    QString error;
    explicit operator bool() const { return error.isEmpty(); }
};

// Every read and write of init.ini and updates.ini goes through these two.
// An absent file, section or key reads as empty text; reads are served from
// ProfileCache while the file is unchanged. A write reports nothing to the
// player; a write that fails leaves the file as it was.
QString ReadIni(const QString &file, const QString &section, const QString &key);
WriteResult WriteIni(const QString &file, const QString &section, const QString &key,
                     const QString &value);
