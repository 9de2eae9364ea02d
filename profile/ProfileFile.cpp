#include "profile/ProfileFile.h"

#include <QString>

namespace
{

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

QByteArrayView trimmed(QByteArrayView text)
{
    while (!text.isEmpty() && isBlank(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && isBlank(text.back()))
        text.chop(1);
    return text;
}

bool isAscii(QByteArrayView text)
{
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

bool sameName(QByteArrayView name, QByteArrayView wanted)
{
    if (name.size() == wanted.size() && name.compare(wanted, Qt::CaseInsensitive) == 0)
        return true;
    // Letters beyond ASCII fold only through their characters; that costs a
    // conversion, so it is done only for names that both have such letters.
    if (isAscii(name) || isAscii(wanted))
        return false;
    return QString::fromLocal8Bit(name).compare(QString::fromLocal8Bit(wanted),
                                                Qt::CaseInsensitive) == 0;
}

bool localEncodingIsUtf8()
{
    static const bool utf8 = QString::fromLocal8Bit("\xC3\xA9") == QStringView(u"\u00E9");
    return utf8;
}

// Where to cut a value that is too long: at the limit, moved back to the
// start of a character when the limit falls inside a UTF-8 sequence, so that
// the cut value does not end in a broken character.
qsizetype cutPosition(QByteArrayView value)
{
    qsizetype cut = ProfileFile::MaxValueLength;
    if (localEncodingIsUtf8()) {
        for (int back = 0;
             back < 3 && cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80; ++back)
            --cut;
    }
    return cut;
}

QByteArrayView unquoted(QByteArrayView value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.sliced(1, value.size() - 2);
    return value;
}

// The position of the "]" that closes a section line, or -1 when the line
// (without its leading blanks) opens no section. A "[" without its "]"
// opens nothing, and is no key line either.
qsizetype sectionClose(QByteArrayView line)
{
    if (line.isEmpty() || line.front() != '[')
        return -1;
    const qsizetype close = line.indexOf(']');
    return close > 0 ? close : -1;
}

// Where the wanted key stands in the content, or where it would go.
struct Location {
    bool sectionFound = false;
    // End (before the line break) of the section line or of the section's last
    // key line: where a missing key is added.
    qsizetype lastLineEnd = -1;
    // The raw value of the key, blanks around it excluded; -1 when absent.
    qsizetype valueBegin = -1;
    qsizetype valueEnd = -1;
};

Location locate(QByteArrayView content, QByteArrayView section, QByteArrayView key)
{
    Location found;
    const qsizetype size = content.size();
    // A byte order mark that an editor put before the first line is no part of it.
    qsizetype lineBegin = content.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    bool inSection = false;
    while (lineBegin < size) {
        qsizetype lineBreak = content.indexOf('\n', lineBegin);
        if (lineBreak < 0)
            lineBreak = size;
        qsizetype lineEnd = lineBreak;
        if (lineEnd > lineBegin && content[lineEnd - 1] == '\r')
            --lineEnd;

        qsizetype first = lineBegin;
        while (first < lineEnd && isBlank(content[first]))
            ++first;
        if (first < lineEnd) {
            const QByteArrayView line = content.sliced(first, lineEnd - first);
            if (line.front() == '[') {
                const qsizetype close = sectionClose(line);
                if (close > 0) {
                    if (inSection)
                        return found;
                    if (sameName(trimmed(line.sliced(1, close - 1)), section)) {
                        inSection = true;
                        found.sectionFound = true;
                        found.lastLineEnd = lineEnd;
                    }
                }
            } else if (inSection && line.front() != ';') {
                const qsizetype equals = line.indexOf('=');
                if (equals > 0) {
                    if (sameName(trimmed(line.first(equals)), key)) {
                        qsizetype valueBegin = first + equals + 1;
                        while (valueBegin < lineEnd && isBlank(content[valueBegin]))
                            ++valueBegin;
                        qsizetype valueEnd = lineEnd;
                        while (valueEnd > valueBegin && isBlank(content[valueEnd - 1]))
                            --valueEnd;
                        found.valueBegin = valueBegin;
                        found.valueEnd = valueEnd;
                        return found;
                    }
                    found.lastLineEnd = lineEnd;
                }
            }
        }
        lineBegin = lineBreak + 1;
    }
    return found;
}

bool hasLineBreak(QByteArrayView text)
{
    return text.contains('\n') || text.contains('\r');
}

bool storable(QByteArrayView section, QByteArrayView key, QByteArrayView value)
{
    if (hasLineBreak(section) || hasLineBreak(key) || hasLineBreak(value))
        return false;
    if (section.contains(']'))
        return false;
    return !key.isEmpty() && !key.contains('=') && key.front() != '[' && key.front() != ';';
}

QByteArray encodedValue(QByteArrayView value)
{
    const bool losesBlanks = !value.isEmpty() && (isBlank(value.front()) || isBlank(value.back()));
    const bool losesQuotes = unquoted(value).size() != value.size();
    if (losesBlanks || losesQuotes)
        return '"' + value.toByteArray() + '"';
    return value.toByteArray();
}

QByteArrayView lineEnding(QByteArrayView content)
{
    const qsizetype lineBreak = content.indexOf('\n');
    if (lineBreak > 0 && content[lineBreak - 1] == '\r')
        return "\r\n";
    if (lineBreak >= 0)
        return "\n";
    return "\r\n";
}

} // namespace

QByteArray ProfileFile::value(QByteArrayView content, QByteArrayView section, QByteArrayView key)
{
    const Location found = locate(content, trimmed(section), trimmed(key));
    if (found.valueBegin < 0)
        return {};
    QByteArrayView value =
        unquoted(content.sliced(found.valueBegin, found.valueEnd - found.valueBegin));
    if (value.size() > MaxValueLength)
        value = value.first(cutPosition(value));
    return value.toByteArray();
}

std::optional<QByteArray> ProfileFile::withValue(const QByteArray &content, QByteArrayView section,
                                                 QByteArrayView key, QByteArrayView value)
{
    section = trimmed(section);
    key = trimmed(key);
    if (!storable(section, key, value))
        return std::nullopt;

    const QByteArray encoded = encodedValue(value);
    const Location found = locate(content, section, key);
    QByteArray result = content;
    if (found.valueBegin >= 0)
        return result.replace(found.valueBegin, found.valueEnd - found.valueBegin, encoded);

    const QByteArray eol = lineEnding(content).toByteArray();
    const QByteArray keyLine = key.toByteArray() + '=' + encoded;
    if (found.sectionFound)
        return result.insert(found.lastLineEnd, eol + keyLine);

    if (!result.isEmpty() && !result.endsWith('\n'))
        result += eol;
    result += '[' + section.toByteArray() + ']' + eol + keyLine + eol;
    return result;
}

qsizetype ProfileFile::sectionCount(QByteArrayView content)
{
    qsizetype count = 0;
    for (qsizetype lineBegin = content.startsWith("\xEF\xBB\xBF") ? 3 : 0;
         lineBegin < content.size();) {
        qsizetype lineBreak = content.indexOf('\n', lineBegin);
        if (lineBreak < 0)
            lineBreak = content.size();
        if (sectionClose(trimmed(content.sliced(lineBegin, lineBreak - lineBegin))) > 0)
            ++count;
        lineBegin = lineBreak + 1;
    }
    return count;
}
