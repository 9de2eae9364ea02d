// libFuzzer target for the profile-file engine: the input is a profile file
// as a server or an editor might hand it over. Every read must stay inside
// the input and find through the index what a walk through the content
// finds, and every write must read back what it wrote while leaving the
// other keys as they were.

#include "profile/ProfileFile.h"

#include <QByteArray>
#include <array>
#include <cstdint>
#include <cstdlib>

namespace
{

struct Name {
    const char *section;
    const char *key;
};

constexpr std::array<Name, 9> names{{
    {"GENERAL", "TotalFiles"},
    {"GENERAL", "Date"},
    {"general", " time "},
    {"FILE1", "URL"},
    {" FILE1", "SavePath"},
    {"FILE2", "FileName"},
    {"", "x"},
    {"[", "="},
    {"\xC3\x9C"
     "BER",
     "schl\xC3\xBC"
     "ssel"},
}};

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    // The last byte picks the key to write and how many bytes before it form
    // the value; everything else is the profile.
    const unsigned char choice = size > 0 ? data[size - 1] : 0;
    const qsizetype valueLength = qMin<qsizetype>(choice >> 3, qMax<qsizetype>(size, 1) - 1);
    const QByteArray content = input.first(qMax<qsizetype>(size, 1) - 1 - valueLength);
    const QByteArray value = input.sliced(content.size(), valueLength);
    const Name target = names[choice % names.size()];

    const ProfileFile::Index index(content);
    std::array<QByteArray, names.size()> before;
    for (size_t i = 0; i < names.size(); ++i) {
        before[i] = ProfileFile::value(content, names[i].section, names[i].key);
        check(before[i].size() <= ProfileFile::MaxValueLength);
        check(index.value(names[i].section, names[i].key) == before[i]);
    }

    const std::optional<QByteArray> written =
        ProfileFile::withValue(content, target.section, target.key, value);
    if (!written) {
        // Only a value that cannot sit on one line is refused for these names.
        check(value.contains('\n') || value.contains('\r') || QByteArray(target.key) == "=" ||
              QByteArray(target.section) == "[");
        return 0;
    }
    check(ProfileFile::value(*written, target.section, target.key) == value);
    for (size_t i = 0; i < names.size(); ++i) {
        const bool sameKey = QByteArray(names[i].key).trimmed().toLower() ==
                                 QByteArray(target.key).trimmed().toLower() &&
                             QByteArray(names[i].section).trimmed().toLower() ==
                                 QByteArray(target.section).trimmed().toLower();
        if (!sameKey)
            check(ProfileFile::value(*written, names[i].section, names[i].key) == before[i]);
    }
    return 0;
}
