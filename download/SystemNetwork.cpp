#include "download/SystemNetwork.h"

#include <QtGlobal>

bool useSystemNetworkSettings(CURL *easy)
{
#if defined(Q_OS_WIN)
    // The certificates that Windows trusts rather than a bundle of curl's own.
    return curl_easy_setopt(easy, CURLOPT_SSL_OPTIONS, long(CURLSSLOPT_NATIVE_CA)) == CURLE_OK;
#else
    Q_UNUSED(easy);
    return true;
#endif
}
