#include "download/Inet.h"

#include "download/Address.h"

#include "download/CurlOptions.h"

#include <QRegularExpression>
#include <QStringDecoder>
#include <QUrl>
#include <curl/curl.h>
#include <memory>
#include <thread>

namespace
{

struct Outcome {
    QByteArray body;
    QByteArray contentType;
    QString error; // empty when the document arrived
};

QString charsetOf(const QByteArray &contentType)
{
    static const QRegularExpression charset(QStringLiteral(R"(;\s*charset\s*=\s*"?([^";\s]+))"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = charset.match(QString::fromLatin1(contentType));
    return match.hasMatch() ? match.captured(1) : QString();
}

QString decode(const QByteArray &body, const QByteArray &contentType)
{
    const QString charset = charsetOf(contentType);
    if (!charset.isEmpty()) {
        QStringDecoder decoder(charset.toLatin1().constData());
        if (decoder.isValid())
            return decoder.decode(body);
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    return utf8.decode(body);
}

size_t collect(char *data, size_t size, size_t count, void *outcome)
{
    QByteArray &body = static_cast<Outcome *>(outcome)->body;
    // A document this large is not a greeting; refuse it rather than hold it.
    if (body.size() + qint64(size * count) > Inet::MaxDocumentBytes)
        return CURL_WRITEFUNC_ERROR;
    body.append(data, qsizetype(size * count));
    return size * count;
}

// Blocks its thread until the document is in, the time is up or the transfer failed.
Outcome fetch(const QUrl &url, std::chrono::milliseconds timeout)
{
    Outcome outcome;
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(),
                                                                   curl_easy_cleanup);
    char error[CURL_ERROR_SIZE];
    curl_slist *headers = curl_slist_append(nullptr, "Accept-Encoding: identity");
    headers = headers ? curl_slist_append(headers, "Cache-Control: no-cache") : nullptr;
    const std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headerList(
        headers, curl_slist_free_all);
    if (!easy || !headers || !setCommonOptions(easy.get(), url, error) ||
        curl_easy_setopt(easy.get(), CURLOPT_HTTPHEADER, headers) != CURLE_OK ||
        curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT_MS, long(timeout.count())) != CURLE_OK ||
        curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, collect) != CURLE_OK ||
        curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &outcome) != CURLE_OK) {
        outcome.error = QStringLiteral("cannot prepare the transfer");
        return outcome;
    }
    const CURLcode result = curl_easy_perform(easy.get());
    long status = 0;
    char *contentType = nullptr;
    if (result == CURLE_WRITE_ERROR)
        outcome.error = QStringLiteral("document larger than %1 bytes").arg(Inet::MaxDocumentBytes);
    else if (result == CURLE_OPERATION_TIMEDOUT)
        outcome.error = QStringLiteral("no answer within %1 ms").arg(timeout.count());
    else if (result != CURLE_OK)
        outcome.error = QString::fromUtf8(error[0] ? error : curl_easy_strerror(result));
    else if (curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
             status < 200 || status >= 400)
        outcome.error = QStringLiteral("HTTP status %1").arg(status);
    else if (curl_easy_getinfo(easy.get(), CURLINFO_CONTENT_TYPE, &contentType) == CURLE_OK &&
             contentType)
        outcome.contentType = contentType;
    return outcome;
}

} // namespace

QString Inet::openURL(const QString &url, std::chrono::milliseconds timeout)
{
    if (addressRefusal(url))
        throw InetError("unusable address: " + url.toStdString());
    const QUrl address = parseAddress(url);

    if (!prepareCurl())
        throw InetError("the transfer library cannot be used");
    Outcome outcome;
    // The transfer runs on a thread of its own while the caller's thread waits.
    std::thread worker([&outcome, &address, timeout] { outcome = fetch(address, timeout); });
    worker.join();

    if (!outcome.error.isEmpty())
        throw InetError(outcome.error.toStdString());
    return decode(outcome.body, outcome.contentType);
}
