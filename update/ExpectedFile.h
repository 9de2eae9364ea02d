#pragma once

// ExpectedFile and parseExpectedFile belong to the update list's format,
// which the publisher's tool shares.
#include "format/ListFormat.h"
