#pragma once

#include <QByteArray>
#include <QUrl>
#include <curl/curl.h>

// Makes libcurl ready for use, once; call on any thread before the first
// transfer. False when libcurl cannot be used.
bool prepareCurl();

// The rules that every transfer of the updater follows, set on `easy`: http
// and https only, redirects followed at most 10 times and never from https to
// http, TLS verified, the system's proxy and certificates, no signals (the
// transfers run on threads of their own), errors described in `errorBuffer`
// (CURL_ERROR_SIZE bytes). False when an option could not be set.
bool setCommonOptions(CURL *easy, const QUrl &address, char *errorBuffer);

// The address as libcurl takes it: percent-encoded, its host in ASCII.
QByteArray encodedAddress(const QUrl &address);
