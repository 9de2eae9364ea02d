#pragma once

#include <QString>
#include <optional>

// The update list of a publisher who signs it. The list and its minisign
// signature arrive beside updates.ini; only a pair that verifies against the
// key in init.ini, is not older than the list last installed (a replayed old
// release) and has not expired (a player frozen on an old one) replaces
// updates.ini and the signature kept beside it. Failure reasons go to the
// "updater.trust" logging category.
namespace SignedList
{

// Where the list and its signature are fetched to before they are checked.
QString arrivingListPath();
QString arrivingSignaturePath();
// The signature of the list in updates.ini.
QString signaturePath();

// The signed timestamp of the pair, when it passes every check.
// `recordedTimestamp` is init.ini's "ListTimestamp" (empty: none yet).
std::optional<qint64> check(const QString &listPath, const QString &signaturePath,
                            const QString &publicKey, const QString &recordedTimestamp);

// Checks the arrived pair and, when it passes, moves it into the place of
// updates.ini and its signature. The arrived files are gone afterwards
// either way; a refused pair leaves updates.ini as it was.
std::optional<qint64> adopt(const QString &publicKey, const QString &recordedTimestamp);

} // namespace SignedList
