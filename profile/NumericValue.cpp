#include "profile/NumericValue.h"

#include <QByteArray>
#include <limits>

double numericValue(const QString &text)
{
    qsizetype at = 0;
    while (at < text.size() && (text[at] == u' ' || text[at] == u'\t'))
        ++at;

    bool negative = false;
    if (at < text.size() && (text[at] == u'+' || text[at] == u'-')) {
        negative = text[at] == u'-';
        ++at;
    }

    QByteArray number;
    bool hasPoint = false;
    bool hasDigit = false;
    bool hasNonZeroWholeDigit = false;
    for (; at < text.size(); ++at) {
        const char16_t c = text[at].unicode();
        if (c >= u'0' && c <= u'9') {
            hasDigit = true;
            hasNonZeroWholeDigit = hasNonZeroWholeDigit || (!hasPoint && c != u'0');
        } else if (c == u'.' && !hasPoint) {
            hasPoint = true;
        } else {
            break;
        }
        number += static_cast<char>(c);
    }
    if (!hasDigit)
        return 0;

    bool ok = false;
    double magnitude = number.toDouble(&ok);
    // The conversion gives up on numbers beyond the range of a double: one
    // with a non-zero whole part is too large, any other too small.
    if (!ok)
        magnitude = hasNonZeroWholeDigit ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -magnitude : magnitude;
}
