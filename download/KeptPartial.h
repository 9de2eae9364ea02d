#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <optional>

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

} // namespace KeptPartial
