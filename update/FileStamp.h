#pragma once

#include <QString>
#include <filesystem>
#include <optional>

// What a file looked like when last seen: whether it exists, its size and its
// modification time to the file system's full resolution. Lets the
// last-update check skip re-reading profiles that have not changed since its
// previous reading step, while still seeing every rewrite of them.
class FileStamp
{
public:
    explicit FileStamp(const QString &path);

    // True when the file differs from the previous look (or on the first look).
    bool changed();

private:
    struct Look {
        bool exists = false;
        std::uintmax_t size = 0;
        std::filesystem::file_time_type modified{};
        bool operator==(const Look &) const = default;
    };

    std::filesystem::path m_path;
    std::optional<Look> m_last;
};
