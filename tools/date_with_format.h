// Parsing a date from text with a date pattern, in the machine's current time zone (the TZ
// variable, else /etc/localtime) and the fixed POSIX locale. Pure apart from the time zone
// lookup; any thread may call it.
#pragma once

#include <optional>
#include <string_view>

#include "model/value.h"

namespace trellis {

// The moment `text` names when read with `format`, or nothing when it does not match. Pattern
// letters (Unicode date field symbols):
//   y...     year (y: 1 or more digits; yy: 2 digits, 2000-2099; yyyy: 4 digits)
//   M, MM    month 1-12        d, dd  day of the month 1-31 (checked against the month)
//   H, HH    hour 0-23         m, mm  minute 0-59          s, ss  second 0-59
//   S...     fraction of a second, as many digits as letters
// Other fields: a single letter takes 1 or 2 digits, a doubled one exactly 2. Text in single
// quotes is literal ('' is one quote); every other character not a letter is literal and must
// match itself. Any other letter in `format` gives nothing. The whole text must be matched. A
// local time that a clock change skips or repeats is resolved as mktime(3) resolves it.
std::optional<Date> dateWithFormat(std::string_view format, std::string_view text);

}  // namespace trellis
