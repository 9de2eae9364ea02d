#pragma once

#include <QString>

// The leading number of a profile text: leading blanks skipped, an optional
// sign, digits and at most one decimal point; 0 when the text has no number.
double numericValue(const QString &text);
