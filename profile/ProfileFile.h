#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <optional>
#include <vector>

// The profile-file format on bytes, without any file access: a line holding a
// name in square brackets opens a section, a line "name=value" inside it is a
// key of that section, any other line (blank, ";" comment, stray text) is kept
// but carries no meaning. Section and key names match without regard to
// ASCII letter case; blanks around names and values do not count; a value
// enclosed in a matching pair of double or single quotes loses that pair.
// When a section or a key appears more than once, the first one counts.
namespace ProfileFile
{

// A value reads as at most this many bytes; longer values are cut.
inline constexpr qsizetype MaxValueLength = 4999;

// A profile is a few kilobytes. A downloaded list far beyond that is read
// only up to this size, so that a hostile server cannot make every read load
// gigabytes; a local file beyond it is never rewritten.
inline constexpr qint64 MaxFileSize = 16 * 1024 * 1024;

// How many section lines the content holds, repeated names included.
qsizetype sectionCount(QByteArrayView content);

// The value of `key` in the first section named `section`; empty when the
// section or the key is absent.
QByteArray value(QByteArrayView content, QByteArrayView section, QByteArrayView key);

// `content` with `key` of `section` set to `value`: an existing key has its
// value replaced on its own line, a missing key is added after the last key
// of the section, a missing section is added at the end. Every other byte is
// kept, and new lines use the line ending the content already uses (CRLF
// when it has none). The value is quoted when its blanks or its quotes would
// otherwise be lost on reading. Empty when the names or the value cannot be
// stored as one line that reads back the same: a line break anywhere, an
// empty key, a key that contains "=" or begins with "[" or ";", a section
// name that contains "]".
std::optional<QByteArray> withValue(const QByteArray &content, QByteArrayView section,
                                    QByteArrayView key, QByteArrayView value);

// The content with the place of every section line noted in one pass, so
// that a lookup costs a search among the section names and a walk through
// the keys of its own section instead of a walk through the whole content:
// reading every key of a long update list stays linear in its length. Finds
// the same values as value(). Holds at most MaxFileSize bytes of the content,
// as a read of the file does, and eight bytes per section line besides.
class Index
{
public:
    explicit Index(QByteArray content);

    const QByteArray &content() const { return m_content; }
    QByteArray value(QByteArrayView section, QByteArrayView key) const;

private:
    struct Section {
        quint32 hash; // of the name, ASCII letters folded
        quint32 line; // where its section line begins, blanks excluded
    };

    QByteArray m_content;
    // Sections named in ASCII, by hash and then in file order.
    std::vector<Section> m_asciiSections;
    // Where the other section lines begin, in file order; few lists have any.
    std::vector<quint32> m_otherSections;
};

} // namespace ProfileFile
