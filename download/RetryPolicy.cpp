#include "download/RetryPolicy.h"

namespace
{

// Tries after the first one.
constexpr int retries = 3;
// A server may ask for a longer wait between tries, up to this many seconds.
constexpr qint64 longestRetryAfter = 30;

} // namespace

bool RetryPolicy::retryable(long status)
{
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 ||
           status == 504;
}

bool RetryPolicy::retryable(CURLcode result)
{
    switch (result) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return true;
    default:
        return false;
    }
}

qint64 RetryPolicy::honouredRetryAfter(qint64 seconds)
{
    return seconds > longestRetryAfter ? 0 : seconds;
}

std::optional<std::chrono::milliseconds> RetryPolicy::nextWait(int tries, qint64 retryAfter,
                                                               std::chrono::milliseconds second)
{
    if (tries > retries)
        return std::nullopt;
    if (retryAfter > 0)
        return second * retryAfter;
    return second * (1 << (tries - 1));
}
