#include "download/DownloaderError.h"

QString downloaderErrorDescription(DownloaderError error)
{
    switch (error) {
    case DownloaderError::EmptyAddress:
        return QStringLiteral("No address was given.");
    case DownloaderError::NoScheme:
        return QStringLiteral("The address does not name a protocol such as http://.");
    case DownloaderError::UnsupportedScheme:
        return QStringLiteral("Only http:// and https:// addresses can be downloaded.");
    case DownloaderError::MalformedAddress:
        return QStringLiteral("The address is not a valid internet address.");
    case DownloaderError::EmptyTarget:
        return QStringLiteral("No file was given to receive the download.");
    case DownloaderError::TargetInFlight:
        return QStringLiteral("A download into this file is already in progress.");
    case DownloaderError::SizeRefused:
        return QStringLiteral("The control could not be sized to 32 x 32 pixels.");
    }
    return QStringLiteral("Unknown failure.");
}

QString downloaderWarningText(DownloaderError error, const QString &method)
{
    return QString::number(static_cast<int>(error)) + QStringLiteral(":Error in call to ") +
           method + QStringLiteral("().") + QStringLiteral("\r\n\r\n") +
           QStringLiteral("Error Description: ") + downloaderErrorDescription(error);
}
