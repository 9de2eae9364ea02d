#include "update/SignedList.h"

#include "format/ListSignature.h"
#include "format/UpdaterFiles.h"
#include "log/UpdaterLog.h"
#include "profile/ProfileFile.h"
#include "system/DiskFlush.h"
#include "update/ProgramFolder.h"

#include <QDateTime>
#include <QFile>

namespace
{

// A list is read no further than the profile reader would read it; a larger
// one cannot be what the publisher signed for this program.
std::optional<QByteArray> readAtMost(const QString &path, qint64 limit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.read(limit + 1);
    if (file.error() != QFileDevice::NoError || bytes.size() > limit)
        return std::nullopt;
    return bytes;
}

} // namespace

QString SignedList::refusalLine(Refusal why)
{
    switch (why) {
    case Refusal::None:
        break;
    case Refusal::Signature:
        return QStringLiteral("The update list's signature is not valid; nothing was installed.");
    case Refusal::Older:
        return QStringLiteral(
            "The update list is older than the one installed; nothing was installed.");
    case Refusal::Expired:
        return QStringLiteral("The update list has expired; nothing was installed.");
    }
    return {};
}

QString SignedList::arrivingListPath()
{
    return gamePath(UpdaterFiles::ArrivingList);
}

QString SignedList::arrivingSignaturePath()
{
    return gamePath(UpdaterFiles::ArrivingSignature);
}

QString SignedList::signaturePath()
{
    return gamePath(UpdaterFiles::UpdatesIniSignature);
}

std::optional<qint64> SignedList::check(const QString &listPath, const QString &signaturePath,
                                        const QString &publicKey, const QString &recordedTimestamp,
                                        Refusal *why)
{
    Refusal ignored;
    Refusal &refusal = why ? *why : ignored;
    refusal = Refusal::Signature;
    const auto list = readAtMost(listPath, ProfileFile::MaxFileSize);
    const auto signature = readAtMost(signaturePath, 16 * 1024);
    if (!list || !signature) {
        qCInfo(lcTrust) << "list or signature missing or too large:" << listPath;
        return std::nullopt;
    }
    const ListSignature::Result verified =
        ListSignature::verify(*list, *signature, publicKey.toLatin1());
    if (verified.failure != ListSignature::Failure::None) {
        qCInfo(lcTrust) << "list signature refused:" << verified.failure;
        return std::nullopt;
    }
    // A list older than the one last installed is an old release replayed.
    bool recorded = false;
    const qint64 last = recordedTimestamp.toLongLong(&recorded);
    if (recorded && verified.timestamp < last) {
        refusal = Refusal::Older;
        qCInfo(lcTrust) << "list signed at" << verified.timestamp << "is older than" << last;
        return std::nullopt;
    }
    // An expired list keeps players on an old release long after a new one.
    if (verified.expires && *verified.expires <= QDateTime::currentSecsSinceEpoch()) {
        refusal = Refusal::Expired;
        qCInfo(lcTrust) << "list expired at" << *verified.expires;
        return std::nullopt;
    }
    refusal = Refusal::None;
    return verified.timestamp;
}

std::optional<qint64> SignedList::adopt(const QString &publicKey, const QString &recordedTimestamp,
                                        Refusal *why)
{
    std::optional<qint64> timestamp =
        check(arrivingListPath(), arrivingSignaturePath(), publicKey, recordedTimestamp, why);
    // The signature goes first: a crash between the two moves leaves a pair
    // that does not verify, which fails safe, never a list that passes with
    // the wrong signature.
    if (timestamp && !(replaceFile(arrivingSignaturePath(), signaturePath()) &&
                       replaceFile(arrivingListPath(), updatesIniPath()))) {
        qCInfo(lcTrust) << "could not put the checked list in place";
        timestamp.reset();
    }
    QFile::remove(arrivingListPath());
    QFile::remove(arrivingSignaturePath());
    return timestamp;
}
