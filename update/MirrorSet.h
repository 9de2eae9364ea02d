#pragma once

#include "download/TransferEvents.h"

#include <QString>
#include <QStringList>
#include <optional>

// The servers that hold the same update below different bases: the profile's
// UpdateFileURL first, then the mirrors in the order given. A file whose
// address lies below the first base may be fetched below any of them (the
// same relative rest), and a base that fails a read goes to the back of the
// order for the rest of the run, so that the reads after it start where they
// are likely to succeed.
//
// Every base is as untrusted as the first: what a mirror serves is checked
// exactly as what the first base serves (size, SHA-256, signature), so a
// mirror can at worst fail a read, never change what is installed.
class MirrorSet
{
public:
    // `primary` is UpdateFileURL (without a trailing "/"), or empty: no base.
    explicit MirrorSet(const QString &primary = {});

    // The bases in a "Mirrors" value, blank-separated, trailing "/" dropped;
    // nothing when any of them is not an http or https address with a host
    // (a mistyped or hostile value: the whole value is refused, since a
    // value half taken would hide the mistake).
    static std::optional<QStringList> parse(const QString &value);

    // Appends the bases not already known, in their order.
    void add(const QStringList &bases);
    // The bases in the current order.
    const QStringList &bases() const { return m_order; }

    // A read below `failedBase` failed for a reason another server may not
    // share: that base goes to the back of the order.
    void demote(const QString &failedBase);

    // Whether `address` lies below the first base, and so below any base.
    bool covers(const QString &address) const;
    // `address` (below the first base) moved below `base`.
    QString rebased(const QString &address, const QString &base) const;
    // The first base in the current order that `tried` does not hold.
    std::optional<QString> untried(const QStringList &tried) const;

    // Whether a read that failed this way may go better on another server.
    static bool anotherMayServe(ReadFailure failure);

private:
    QString m_primary;
    QStringList m_order;
};
