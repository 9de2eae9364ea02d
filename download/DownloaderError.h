#pragma once

#include <QString>

// Why a Downloader method could not do its work. The numbers are ours and
// appear in the "Warning" box; they never change meaning once released.
enum class DownloaderError {
    EmptyAddress = 1001,
    NoScheme = 1002,
    UnsupportedScheme = 1003,
    MalformedAddress = 1004,
    EmptyTarget = 1005,
    TargetInFlight = 1006,
    SizeRefused = 1101,
};

QString downloaderErrorDescription(DownloaderError error);

// The text of the "Warning" box for a failure inside `method`, e.g.
// "1002:Error in call to BeginDownload().\r\n\r\nError Description: ...".
QString downloaderWarningText(DownloaderError error, const QString &method);
