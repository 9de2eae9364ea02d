#pragma once

#include "download/TempFile.h"

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <memory>
#include <optional>

class BodyCheck;

// A body cut short that a read keeps beside its target, so that a later read
// into the same target continues it instead of fetching it again whole. The
// body lies in "<target>.partial"; "<target>.partial.meta" names the address
// it came from and the validator that lets the server tell whether it is
// still the same body. Both files lie in a folder the player can write to:
// whatever they hold is checked before any of it is sent or trusted.
namespace KeptPartial
{

struct Validator {
    // A strong ETag, or empty.
    QByteArray etag;
    QByteArray lastModified;
};

QString bodyPath(const QString &target);
QString metaPath(const QString &target);

// Takes back the body kept for a read of `address` into `target`: its
// validator when the meta file is one this program wrote for that address,
// nothing otherwise. The meta file goes either way, so that it never
// outlives the body it describes; a body that cannot be continued goes too.
std::optional<Validator> take(const QString &target, const QUrl &address);

// Describes the body just kept at bodyPath(target).
bool describe(const QString &target, const QUrl &address, const Validator &validator);

// Removes both files.
void remove(const QString &target);

// A kept body taken back by a new read, open at its end for the rest.
struct Resumed {
    std::unique_ptr<TempFile> file;
    qint64 length = 0;
    Validator validator;
};

// Takes back the body kept for a read of `address` into `target` whose whole
// body is `size` bytes, if known, and feeds its bytes to `check`: the digest
// covers the whole file, so the bytes kept are read once, here, before any of
// the rest arrives. Nothing when there is no such body or it cannot be
// continued; its files are then gone and `check` starts from the first byte.
std::optional<Resumed> resume(const QString &target, const QUrl &address,
                              std::optional<qint64> size, BodyCheck &check);

// Keeps the part of a body in `file` beside `target` under `validator`, for a
// later read to continue; with no file, or when that fails (logged with its
// reason), no kept file is left.
void keep(std::unique_ptr<TempFile> file, const QString &target, const QUrl &address,
          const Validator &validator);

} // namespace KeptPartial
