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

// Why a pair was refused. The player is told which: a forged list (or one
// damaged on its way), an old release replayed, and a release left to
// expire each call for a different word to the publisher, and none of them
// is the network fault "Failed to download updates.ini" would suggest.
enum class Refusal {
    None,
    Signature, // missing, malformed, another key's, or not over these bytes
    Older,     // signed before the list last installed
    Expired,   // past its signed "expires:" time
};
// The status log's line for a refusal; empty for None.
QString refusalLine(Refusal why);

// Where the list and its signature are fetched to before they are checked.
QString arrivingListPath();
QString arrivingSignaturePath();
// The signature of the list in updates.ini.
QString signaturePath();

// The signed timestamp of the pair, when it passes every check.
// `recordedTimestamp` is init.ini's "ListTimestamp" (empty: none yet). On a
// refusal, `why` (when given) says which check refused it.
std::optional<qint64> check(const QString &listPath, const QString &signaturePath,
                            const QString &publicKey, const QString &recordedTimestamp,
                            Refusal *why = nullptr);

// Checks the arrived pair and, when it passes, moves it into the place of
// updates.ini and its signature. The arrived files are gone afterwards
// either way; a refused pair leaves updates.ini as it was, and `why` says
// which check refused it (None when the pair passed but could not be moved).
std::optional<qint64> adopt(const QString &publicKey, const QString &recordedTimestamp,
                            Refusal *why = nullptr);

} // namespace SignedList
