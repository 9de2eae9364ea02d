#include "update/MirrorSet.h"

#include <QRegularExpression>
#include <QUrl>

namespace
{

QString trimmedBase(QString base)
{
    while (base.endsWith(u'/'))
        base.chop(1);
    return base;
}

bool below(const QString &address, const QString &base)
{
    return !base.isEmpty() && address.startsWith(base + u'/');
}

} // namespace

MirrorSet::MirrorSet(const QString &primary) : m_primary(trimmedBase(primary))
{
    if (!m_primary.isEmpty())
        m_order.append(m_primary);
}

std::optional<QStringList> MirrorSet::parse(const QString &value)
{
    QStringList bases;
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    for (const QString &word : value.split(blanks, Qt::SkipEmptyParts)) {
        // A base of another scheme (file:, ftp:) would make the updater read
        // what the server names on this machine or over a protocol it never
        // checks; one without a host is a typo.
        const QUrl url(word, QUrl::StrictMode);
        if (!url.isValid() || url.host().isEmpty() ||
            (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")) ||
            url.hasQuery() || url.hasFragment())
            return std::nullopt;
        bases.append(trimmedBase(word));
    }
    return bases;
}

void MirrorSet::add(const QStringList &bases)
{
    for (const QString &base : bases)
        if (!m_order.contains(base))
            m_order.append(base);
}

void MirrorSet::demote(const QString &failedBase)
{
    if (m_order.removeOne(failedBase))
        m_order.append(failedBase);
}

bool MirrorSet::covers(const QString &address) const
{
    return below(address, m_primary);
}

QString MirrorSet::rebased(const QString &address, const QString &base) const
{
    if (!below(address, m_primary))
        return address;
    return base + address.mid(m_primary.size());
}

std::optional<QString> MirrorSet::untried(const QStringList &tried) const
{
    for (const QString &base : m_order)
        if (!tried.contains(base))
            return base;
    return std::nullopt;
}

bool MirrorSet::anotherMayServe(ReadFailure failure)
{
    // A fault of this machine (a target that cannot be written, a full disk)
    // fails the same way whichever server sends the bytes. Every HTTP error
    // status fails over, 403 too: it tells what one server's configuration
    // allows, not what the file is, and trying another costs one request.
    return failure != ReadFailure::Local && failure != ReadFailure::None;
}
