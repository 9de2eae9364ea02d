#include "download/Inet.h"

#include "download/Address.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <memory>
#include <optional>

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

// Runs on its own thread with its own event loop, so that the caller's
// thread can simply wait.
Outcome fetch(const QUrl &url, std::chrono::milliseconds timeout)
{
    Outcome outcome;
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    std::unique_ptr<QNetworkReply> reply(manager.get(request));

    QEventLoop loop;
    bool timedOut = false;
    bool tooLarge = false;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    QObject::connect(reply.get(), &QNetworkReply::downloadProgress, &loop,
                     [&](qint64 received, qint64) {
                         if (received > Inet::MaxDocumentBytes) {
                             tooLarge = true;
                             loop.quit();
                         }
                     });
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    deadline.start(timeout);
    if (!reply->isFinished())
        loop.exec();

    if (timedOut) {
        reply->abort();
        outcome.error = QStringLiteral("no answer within %1 ms").arg(timeout.count());
    } else if (tooLarge) {
        reply->abort();
        outcome.error = QStringLiteral("document larger than %1 bytes").arg(Inet::MaxDocumentBytes);
    } else if (reply->error() != QNetworkReply::NoError) {
        outcome.error = reply->errorString();
    } else {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status >= 400)
            outcome.error = QStringLiteral("HTTP status %1").arg(status);
        outcome.body = reply->readAll();
        outcome.contentType = reply->rawHeader("Content-Type");
    }
    return outcome;
}

} // namespace

QString Inet::OpenURL(const QString &url, std::chrono::milliseconds timeout)
{
    if (AddressRefusal(url))
        throw InetError("unusable address: " + url.toStdString());
    const QUrl address = ParseAddress(url);

    Outcome outcome;
    std::unique_ptr<QThread> worker(
        QThread::create([&outcome, &address, timeout] { outcome = fetch(address, timeout); }));
    worker->start();
    worker->wait();

    if (!outcome.error.isEmpty())
        throw InetError(outcome.error.toStdString());
    return decode(outcome.body, outcome.contentType);
}
