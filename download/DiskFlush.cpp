#include "download/DiskFlush.h"

#if defined(Q_OS_WIN)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

bool FlushToDisk(qintptr handle)
{
#if defined(Q_OS_WIN)
    const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(static_cast<int>(handle)));
    return file != INVALID_HANDLE_VALUE && FlushFileBuffers(file) != 0;
#else
    return fdatasync(static_cast<int>(handle)) == 0;
#endif
}
