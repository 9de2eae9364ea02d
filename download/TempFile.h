#pragma once

#include <QFile>
#include <QString>
#include <memory>

// A named file beside a target that receives a body, and takes the target's
// place only once whole. Until commit() succeeds the target is untouched, and
// a TempFile that goes away uncommitted removes its file, so no temporary file
// outlives its read. A plain named file costs less to create than a nameless
// one that must be linked into the folder later.
class TempFile
{
public:
    // Creates the file in the folder of `target`; null when that fails (no
    // folder, no permission).
    static std::unique_ptr<TempFile> create(const QString &target);
    // Takes the file `kept` (see Keep) back under a name of its own, open at
    // its end to receive the rest of the body; null, and `kept` gone, when
    // that fails.
    static std::unique_ptr<TempFile> adopt(const QString &target, const QString &kept);
    // Removes the temporary files of `target` that a killed process left
    // behind; only for a target that no read of this process is writing.
    static void removeLeftovers(const QString &target);
    ~TempFile();

    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    bool write(const char *data, qint64 size);
    // Drops what the file holds, for a body that starts again from its first byte.
    bool truncate();
    qintptr handle() const { return m_file.handle(); }
    // Closes the file. Its bytes are on the disk already, or (a staged file)
    // will be before any journal names it.
    void close() { m_file.close(); }
    // Puts the closed file in the place of its target. Empty on success;
    // otherwise why not (the files, the call, the system's error text), and
    // the target is as it was.
    QString commit();
    // Puts the part of a body the file holds at `as`, for a later read to
    // continue; the file is no longer removed with this object. Empty on
    // success; otherwise why not, and the file is still removed with this object.
    QString keep(const QString &as);
    qint64 size() const { return m_file.size(); }

private:
    TempFile(const QString &target, const QString &path);
    static QString freshPath(const QString &target);
    // Moves the file to `to`; empty on success, otherwise why not.
    QString moveTo(const QString &to);

    QString m_target;
    QFile m_file;
    bool m_committed = false;
};
