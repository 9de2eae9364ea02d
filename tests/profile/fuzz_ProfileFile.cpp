// libFuzzer target for the profile-file engine: the input is a profile file
// as a server or an editor might hand it over. Every read must stay within
// the value limit and find through the index what a walk through the content
// finds, and every write must read back what it wrote while leaving the
// other keys as they were.

#include "profile/ProfileFile.h"

#include <QByteArray>
#include <array>
#include <cstdint>
#include <cstdlib>

namespace
{

// Names of different keys, so that a write of one leaves the others alone.
const std::array<std::pair<QByteArray, QByteArray>, 6> names{{{"GENERAL", "TotalFiles"},
                                                              {"general", " date "},
                                                              {" FILE1", "URL"},
                                                              {"", "x"},
                                                              {"[", "="},
                                                              {"\303\234BER", "schl\303\274ssel"}}};

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The last byte picks the key to write and how many bytes before it form
    // the value; everything else is the profile.
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size) - 1);
    const unsigned char choice = data[size - 1];
    const qsizetype valueLength = qMin<qsizetype>(choice >> 3, input.size());
    const QByteArray content = input.chopped(valueLength), value = input.right(valueLength);
    const size_t target = choice % names.size();
    const auto &[section, key] = names[target];

    const ProfileFile::Index index(content);
    std::array<QByteArray, names.size()> before;
    for (size_t i = 0; i < names.size(); ++i) {
        before[i] = ProfileFile::value(content, names[i].first, names[i].second);
        check(before[i].size() <= ProfileFile::MaxValueLength);
        check(index.value(names[i].first, names[i].second) == before[i]);
    }

    const auto written = ProfileFile::withValue(content, section, key, value);
    // Only a value that cannot sit on one line is refused for these names.
    if (!written) {
        check(value.contains('\n') || value.contains('\r') || key == "=");
        return 0;
    }
    check(ProfileFile::value(*written, section, key) == value);
    for (size_t i = 0; i < names.size(); ++i)
        check(i == target ||
              ProfileFile::value(*written, names[i].first, names[i].second) == before[i]);
    return 0;
}
