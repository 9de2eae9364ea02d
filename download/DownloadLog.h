#pragma once

#include <QLoggingCategory>

// Why a read failed: the status, the network error, a body that was not the
// one expected, a file that could not be written or put in place. Players
// see only "Failed to download"; a publisher looking for the cause turns it
// on with QT_LOGGING_RULES="updater.download=true".
Q_DECLARE_LOGGING_CATEGORY(lcDownload)
