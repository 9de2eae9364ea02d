#pragma once

#include <curl/curl.h>

// What the operating system decides for every transfer: the proxy and the
// certificates that are trusted. On Linux libcurl takes the proxy from
// http_proxy, https_proxy and no_proxy and trusts the system's certificate
// bundle by itself; the Windows proxy setting and certificate store plug in
// here. False when an option could not be set.
bool useSystemNetworkSettings(CURL *easy);
