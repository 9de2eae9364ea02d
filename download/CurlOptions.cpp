#include "download/CurlOptions.h"

#include "download/SystemNetwork.h"

bool prepareCurl()
{
    static const bool prepared = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return prepared;
}

QByteArray encodedAddress(const QUrl &address)
{
    return address.toEncoded(QUrl::FullyEncoded);
}

bool setCommonOptions(CURL *easy, const QUrl &address, char *errorBuffer)
{
    const bool secure = address.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
    // A redirect may lead from http to https but never back: a server that
    // was reached over TLS cannot hand the read to one that anybody on the
    // way can answer for. Nor may it lead to a file of this machine.
    const char *redirectable = secure ? "https" : "http,https";
    bool set = curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer) == CURLE_OK;
    errorBuffer[0] = '\0';
    set = set && curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
          curl_easy_setopt(easy, CURLOPT_URL, encodedAddress(address).constData()) == CURLE_OK &&
          curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
          curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, redirectable) == CURLE_OK &&
          curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
          curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L) == CURLE_OK &&
          curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
          curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
          curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS)) == CURLE_OK &&
          // The bytes are stored exactly as the server sends them.
          curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L) == CURLE_OK &&
          curl_easy_setopt(easy, CURLOPT_TRANSFER_ENCODING, 0L) == CURLE_OK;
    return set && useSystemNetworkSettings(easy);
}
