#include "download/Address.h"

QUrl parseAddress(const QString &url)
{
    return QUrl(url, QUrl::TolerantMode);
}

std::optional<DownloaderError> addressRefusal(const QString &url)
{
    if (url.isEmpty())
        return DownloaderError::EmptyAddress;
    const QUrl address = parseAddress(url);
    if (!address.isValid())
        return DownloaderError::MalformedAddress;
    const QString scheme = address.scheme().toLower();
    if (scheme.isEmpty())
        return DownloaderError::NoScheme;
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return DownloaderError::UnsupportedScheme;
    if (address.host().isEmpty())
        return DownloaderError::MalformedAddress;
    return std::nullopt;
}

QString serverOf(const QUrl &address)
{
    const QString scheme = address.scheme().toLower();
    return scheme + QLatin1String("://") + address.host() + QLatin1Char(':') +
           QString::number(address.port(scheme == QLatin1String("https") ? 443 : 80));
}
