#include "profile/ProfileFile.h"

#include <QString>
#include <algorithm>
#include <limits>

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

// The end of the line that begins at `lineBegin`, before its line break and
// any carriage return, and where the next line begins.
struct Line {
    qsizetype end;
    qsizetype next;
};

Line lineAt(QByteArrayView content, qsizetype lineBegin)
{
    qsizetype lineBreak = content.indexOf('\n', lineBegin);
    if (lineBreak < 0)
        lineBreak = content.size();
    qsizetype lineEnd = lineBreak;
    if (lineEnd > lineBegin && content[lineEnd - 1] == '\r')
        --lineEnd;
    return {lineEnd, lineBreak + 1};
}

qsizetype firstNonBlank(QByteArrayView content, qsizetype from, qsizetype end)
{
    while (from < end && isBlank(content[from]))
        ++from;
    return from;
}

// A byte order mark that an editor put before the first line is no part of it.
qsizetype contentBegin(QByteArrayView content)
{
    return content.startsWith("\xEF\xBB\xBF") ? 3 : 0;
}

// The name of the section that the line from `first` (its first non-blank
// byte) to `lineEnd` opens; null when it opens none.
QByteArrayView sectionName(QByteArrayView content, qsizetype first, qsizetype lineEnd)
{
    if (first >= lineEnd)
        return {};
    const QByteArrayView line = content.sliced(first, lineEnd - first);
    const qsizetype close = sectionClose(line);
    if (close <= 0)
        return {};
    return trimmed(line.sliced(1, close - 1));
}

// Looks for `key` among the lines from `lineBegin` up to the next section
// line: the keys of the section whose line ends at `found.lastLineEnd`.
void locateKey(QByteArrayView content, qsizetype lineBegin, QByteArrayView key, Location &found)
{
    while (lineBegin < content.size()) {
        const Line at = lineAt(content, lineBegin);
        const qsizetype lineEnd = at.end;
        const qsizetype first = firstNonBlank(content, lineBegin, lineEnd);
        if (first < lineEnd) {
            const QByteArrayView line = content.sliced(first, lineEnd - first);
            if (line.front() == '[') {
                if (sectionClose(line) > 0)
                    return;
            } else if (line.front() != ';') {
                const qsizetype equals = line.indexOf('=');
                if (equals > 0) {
                    if (sameName(trimmed(line.first(equals)), key)) {
                        const qsizetype valueBegin =
                            firstNonBlank(content, first + equals + 1, lineEnd);
                        qsizetype valueEnd = lineEnd;
                        while (valueEnd > valueBegin && isBlank(content[valueEnd - 1]))
                            --valueEnd;
                        found.valueBegin = valueBegin;
                        found.valueEnd = valueEnd;
                        return;
                    }
                    found.lastLineEnd = lineEnd;
                }
            }
        }
        lineBegin = at.next;
    }
}

Location locate(QByteArrayView content, QByteArrayView section, QByteArrayView key)
{
    Location found;
    for (qsizetype lineBegin = contentBegin(content); lineBegin < content.size();) {
        const Line at = lineAt(content, lineBegin);
        const qsizetype first = firstNonBlank(content, lineBegin, at.end);
        const QByteArrayView name = sectionName(content, first, at.end);
        if (!name.isNull() && sameName(name, section)) {
            found.sectionFound = true;
            found.lastLineEnd = at.end;
            locateKey(content, at.next, key, found);
            return found;
        }
        lineBegin = at.next;
    }
    return found;
}

QByteArray valueAt(QByteArrayView content, const Location &found)
{
    if (found.valueBegin < 0)
        return {};
    QByteArrayView value =
        unquoted(content.sliced(found.valueBegin, found.valueEnd - found.valueBegin));
    if (value.size() > ProfileFile::MaxValueLength)
        value = value.first(cutPosition(value));
    return value.toByteArray();
}

// FNV-1a over the name with ASCII letters in lower case: names that match
// have the same hash.
quint32 foldedHash(QByteArrayView name)
{
    quint32 hash = 2166136261u;
    for (const char c : name) {
        hash ^= quint8(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        hash *= 16777619u;
    }
    return hash;
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
    return valueAt(content, locate(content, trimmed(section), trimmed(key)));
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

ProfileFile::Index::Index(QByteArray content) : m_content(std::move(content))
{
    static_assert(MaxFileSize <= std::numeric_limits<quint32>::max());
    m_content.truncate(MaxFileSize);
    for (qsizetype lineBegin = contentBegin(m_content); lineBegin < m_content.size();) {
        const Line at = lineAt(m_content, lineBegin);
        const qsizetype first = firstNonBlank(m_content, lineBegin, at.end);
        const QByteArrayView name = sectionName(m_content, first, at.end);
        if (!name.isNull()) {
            if (isAscii(name))
                m_asciiSections.push_back({foldedHash(name), quint32(first)});
            else
                m_otherSections.push_back(quint32(first));
        }
        lineBegin = at.next;
    }
    // Stable, so that sections with the same hash stay in file order and the
    // first one of a repeated name is met first.
    std::stable_sort(m_asciiSections.begin(), m_asciiSections.end(),
                     [](const Section &a, const Section &b) { return a.hash < b.hash; });
}

QByteArray ProfileFile::Index::value(QByteArrayView section, QByteArrayView key) const
{
    section = trimmed(section);
    key = trimmed(key);
    Location found;
    const auto lookIn = [&](qsizetype first) {
        const Line at = lineAt(m_content, first);
        if (!sameName(sectionName(m_content, first, at.end), section))
            return false;
        found.sectionFound = true;
        found.lastLineEnd = at.end;
        locateKey(m_content, at.next, key, found);
        return true;
    };
    // A name in ASCII matches only names in ASCII, and the other way round.
    if (isAscii(section)) {
        const auto [begin, end] = std::equal_range(
            m_asciiSections.begin(), m_asciiSections.end(), Section{foldedHash(section), 0},
            [](const Section &a, const Section &b) { return a.hash < b.hash; });
        for (auto it = begin; it != end && !lookIn(it->line); ++it) {
        }
    } else {
        for (auto it = m_otherSections.begin(); it != m_otherSections.end() && !lookIn(*it); ++it) {
        }
    }
    return valueAt(m_content, found);
}
