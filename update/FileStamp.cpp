#include "update/FileStamp.h"

FileStamp::FileStamp(const QString &path) : m_path(path.toStdU16String()) {}

bool FileStamp::changed()
{
    Look look;
    std::error_code error;
    look.modified = std::filesystem::last_write_time(m_path, error);
    look.exists = !error;
    if (look.exists) {
        look.size = std::filesystem::file_size(m_path, error);
        if (error)
            look.size = std::uintmax_t(-1);
    }
    const bool changed = !m_last || !(*m_last == look);
    m_last = look;
    return changed;
}
