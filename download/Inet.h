#pragma once

#include <QString>
#include <chrono>
#include <stdexcept>

// A greeting transfer that could not deliver its document: no server, a
// refused connection, an error status, an unusable address or a time-out.
class InetError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The blocking text fetch of the greeting document. The calling thread waits
// without running its event loop: no window event and no timer tick is
// handled until the call returns.
class Inet
{
public:
    static constexpr std::chrono::milliseconds DefaultTimeout{60000};
    // Documents beyond this size are refused rather than held in memory.
    static constexpr qint64 MaxDocumentBytes = 16 * 1024 * 1024;

    // The whole document at `url` as one text, decoded by the charset that
    // the response's Content-Type names, else as UTF-8. Throws InetError.
    static QString openURL(const QString &url, std::chrono::milliseconds timeout = DefaultTimeout);
};
