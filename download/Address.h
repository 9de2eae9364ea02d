#pragma once

#include "download/DownloaderError.h"

#include <QString>
#include <QUrl>
#include <optional>

// Every transfer reads an address the same tolerant way: a blank or another
// character that is not allowed in an address is taken as its percent-encoded
// form, so an address that one transfer accepts is never refused by another.
QUrl parseAddress(const QString &url);

// Why `url` cannot be fetched, or nothing when it can: an empty text, no
// scheme, a scheme other than http or https, or no host. Lets a caller check
// an address before handing it to a transfer.
std::optional<DownloaderError> addressRefusal(const QString &url);

// "scheme://host:port" of an address: the server whose share of the reads in
// flight, and whose answers to Range, count for every address on it.
QString serverOf(const QUrl &address);
