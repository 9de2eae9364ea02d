#include "download/DownloadLog.h"

// Off unless asked for: a failed read is an answer the run handles, not an
// error of the program.
Q_LOGGING_CATEGORY(lcDownload, "updater.download", QtWarningMsg)
