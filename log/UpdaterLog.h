#pragma once

#include <QLoggingCategory>

// Every logging category of the updater, with one threshold: only warnings
// and worse are on unless asked for. Why a file, a read or a list failed is
// an answer the run handles, not an error of the program, so those reasons
// are info messages; a publisher looking for them turns them on with
// QT_LOGGING_RULES="updater.*=true" (or one category at a time).

// The update run: files refused or failed, the commit, the journal, the list.
Q_DECLARE_LOGGING_CATEGORY(lcRun)
// Transfers: the status, the network error, a body that was not the one
// expected, a file that could not be written or put in place.
Q_DECLARE_LOGGING_CATEGORY(lcDownload)
// The list's signature, age and expiry.
Q_DECLARE_LOGGING_CATEGORY(lcTrust)
