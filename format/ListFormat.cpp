#include "format/ListFormat.h"

#include <QUrl>
#include <algorithm>
#include <limits>

namespace
{

bool isHexDigit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// A value as one profile line that reads back unchanged: the reader drops
// blanks around a value and one pair of enclosing quotes, so such a value is
// enclosed in double quotes of its own.
QByteArray profileValue(const QString &value)
{
    const bool losesBlanks =
        !value.isEmpty() && (value.front().isSpace() || value.back().isSpace());
    const bool losesQuotes = value.size() >= 2 &&
                             (value.front() == u'"' || value.front() == u'\'') &&
                             value.back() == value.front();
    const QByteArray text = value.toUtf8();
    return losesBlanks || losesQuotes ? '"' + text + '"' : text;
}

QByteArray line(const char *key, const QByteArray &value)
{
    return key + ('=' + value) + '\n';
}

} // namespace

QByteArray ListFormat::fileSection(qint64 number)
{
    return "FILE" + QByteArray::number(number);
}

QByteArray ListFormat::write(const QList<FileEntry> &files, const QString &date,
                             const QString &time, const QStringList &mirrors)
{
    QByteArray list = '[' + QByteArray(General) + "]\n" +
                      line(TotalFiles, QByteArray::number(files.size())) +
                      line(Date, profileValue(date)) + line(Time, profileValue(time));
    if (!mirrors.isEmpty())
        list += line(Mirrors, mirrors.join(u' ').toUtf8());
    for (qsizetype n = 0; n < files.size(); ++n) {
        const FileEntry &file = files[n];
        list += "\n[" + fileSection(n + 1) + "]\n" + line(Url, file.url) +
                line(SavePath, profileValue(file.savePath)) +
                line(FileName, profileValue(file.fileName)) +
                line(Size, QByteArray::number(file.size)) + line(Sha256, file.sha256.toHex());
        if (!file.chunksUrl.isEmpty())
            list += line(ChunksUrl, file.chunksUrl);
        if (!file.chunksSha256.isEmpty())
            list += line(ChunksSha256, file.chunksSha256.toHex());
    }
    return list;
}

QStringList ListFormat::settingKeys()
{
    return {QLatin1String(UpdateFileUrl), QLatin1String(Hello), QLatin1String(Mirrors),
            QLatin1String(PublicKey)};
}

namespace
{

bool isHttpAddress(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && (url.scheme() == u"http" || url.scheme() == u"https") &&
           !url.host().isEmpty() && !text.contains(u' ');
}

} // namespace

QString ListFormat::settingProblem(const QString &key, const QString &value)
{
    if (!settingKeys().contains(key, Qt::CaseInsensitive))
        return QStringLiteral("%1 is not a setting a list may change").arg(key);
    if (key.compare(QLatin1String(PublicKey), Qt::CaseInsensitive) == 0) {
        // "Ed", the 8-byte key id and the 32-byte key, as minisign writes it.
        const auto decoded = QByteArray::fromBase64Encoding(
            value.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        return decoded && decoded.decoded.size() == 42 && decoded.decoded.startsWith("Ed")
                   ? QString()
                   : QStringLiteral("PublicKey is not a minisign public key");
    }
    const QStringList addresses = key.compare(QLatin1String(Mirrors), Qt::CaseInsensitive) == 0
                                      ? value.split(u' ', Qt::SkipEmptyParts)
                                      : QStringList{value};
    if (addresses.isEmpty() || !std::all_of(addresses.cbegin(), addresses.cend(), isHttpAddress))
        return QStringLiteral("%1 is not an http or https address").arg(key);
    return {};
}

QByteArray ListFormat::settingsSection(const QList<std::pair<QString, QString>> &settings)
{
    if (settings.isEmpty())
        return {};
    QByteArray section = "\n[" + QByteArray(Settings) + "]\n";
    for (const auto &[key, value] : settings)
        section += key.toUtf8() + '=' + profileValue(value) + '\n';
    return section;
}

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
