#include "log/UpdaterLog.h"

namespace
{

// The one threshold of every category: below it, a message is off unless
// QT_LOGGING_RULES turns it on.
constexpr QtMsgType threshold = QtWarningMsg;

} // namespace

Q_LOGGING_CATEGORY(lcRun, "updater.run", threshold)
Q_LOGGING_CATEGORY(lcDownload, "updater.download", threshold)
Q_LOGGING_CATEGORY(lcTrust, "updater.trust", threshold)
