// Date helpers: archive time stamps, UTC now, trimming a date-time to the
// minute or second.
#pragma once

#include <string>

#include "platform/Zor_Sys.h"

namespace zor {

// "YYYYMMDD_hhnnss", used in archive file names and log file names.
std::string ArchiveTimeText(const platform::TZor_LocalTime &t);

// Reads a text made by ArchiveTimeText; milliseconds are 0. Throws
// std::invalid_argument "Invalid archiv data time string: " + text when the
// text is not of that form or names no valid date and time.
platform::TZor_LocalTime ParseArchiveTimeText(const std::string &text);

// The current UTC date-time, with and without its milliseconds.
platform::TZor_LocalTime CurrentUtc();
platform::TZor_LocalTime CurrentUtcNoMs();

// Sets the minutes (seconds) to `value` and clears the smaller units.
platform::TZor_LocalTime ReplaceMinutes(platform::TZor_LocalTime t, int value);
platform::TZor_LocalTime ReplaceSeconds(platform::TZor_LocalTime t, int value);

}  // namespace zor
