#include "update/ExpectedFile.h"

#include <algorithm>
#include <limits>

namespace
{

bool isHexDigit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

} // namespace

ExpectedFile parseExpectedFile(const QString &size, const QString &sha256)
{
    ExpectedFile expected;
    if (!size.isEmpty()) {
        qint64 value = 0;
        for (const QChar c : size) {
            const int digit = c.unicode() - u'0';
            if (digit < 0 || digit > 9 ||
                value > (std::numeric_limits<qint64>::max() - digit) / 10) {
                expected.malformed = true;
                break;
            }
            value = value * 10 + digit;
        }
        if (!expected.malformed)
            expected.size = value;
    }
    if (!sha256.isEmpty()) {
        if (sha256.size() == 64 && std::all_of(sha256.cbegin(), sha256.cend(), isHexDigit))
            expected.sha256 = QByteArray::fromHex(sha256.toLatin1());
        else
            expected.malformed = true;
    }
    return expected;
}
