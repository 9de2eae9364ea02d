#pragma once

#include <QtGlobal>
#include <chrono>
#include <curl/curl.h>
#include <optional>

// When a read that failed is tried again, and after how long. A refused or
// reset connection, a time-out, and the statuses 408, 429, 500, 502, 503 and
// 504 may go better the next time; anything else will not. A read is tried
// at most 3 times after its first try, after 1, 2 and 4 "seconds", or after
// what the server's Retry-After asks for when that is at most 30 seconds: a
// hostile or broken server cannot park a read for hours.
namespace RetryPolicy
{

// Whether a try that ended with this error status may go better the next time.
bool retryable(long status);
// Whether a try that ended with this libcurl error may go better the next time.
bool retryable(CURLcode result);

// Seconds of a Retry-After header that are honoured; a longer one is ignored.
qint64 honouredRetryAfter(qint64 seconds);

// The wait before the next try of a read that has had `tries` tries, with
// `retryAfter` the seconds the server asked for (0: none) and `second` the
// length of one second of waiting; nothing when no try is left.
std::optional<std::chrono::milliseconds> nextWait(int tries, qint64 retryAfter,
                                                  std::chrono::milliseconds second);

} // namespace RetryPolicy
