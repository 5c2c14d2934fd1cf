// Date patterns read field by field into a broken-down local time, then mktime(3). No state.
#include "tools/date_with_format.h"

#include <cerrno>
#include <ctime>
#include <string>

namespace trellis {

namespace {

bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads between `least` and `most` digits from the front of `text`.
std::optional<long> digits(std::string_view& text, std::size_t least, std::size_t most) {
  std::size_t n = 0;
  long value = 0;
  while (n < most && n < text.size() && isDigit(text[n])) value = value * 10 + (text[n++] - '0');
  if (n < least) return std::nullopt;
  text.remove_prefix(n);
  return value;
}

int daysInMonth(long year, long month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<Date> dateWithFormat(std::string_view format, std::string_view text) {
  long year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
  double fraction = 0.0;
  std::size_t i = 0;
  while (i < format.size()) {
    const char c = format[i];
    if (c == '\'') {
      // Quoted literal text; '' inside or outside quotes is one quote.
      std::string literal;
      std::size_t j = i + 1;
      if (j < format.size() && format[j] == '\'') {
        literal = "'";
        j += 1;
      } else {
        for (;;) {
          if (j >= format.size()) return std::nullopt;  // unterminated quote
          if (format[j] == '\'') {
            if (j + 1 < format.size() && format[j + 1] == '\'') {
              literal += '\'';
              j += 2;
              continue;
            }
            ++j;
            break;
          }
          literal += format[j++];
        }
      }
      if (text.substr(0, literal.size()) != literal) return std::nullopt;
      text.remove_prefix(literal.size());
      i = j;
      continue;
    }
    if (!isLetter(c)) {
      if (text.empty() || text.front() != c) return std::nullopt;
      text.remove_prefix(1);
      ++i;
      continue;
    }
    std::size_t count = 1;
    while (i + count < format.size() && format[i + count] == c) ++count;
    i += count;
    std::optional<long> field;
    if (c == 'y') {
      if (count == 2) {
        field = digits(text, 2, 2);
        if (field) *field += 2000;
      } else {
        field = count == 1 ? digits(text, 1, 9) : digits(text, count, count);
      }
      if (!field) return std::nullopt;
      year = *field;
    } else if (c == 'S') {
      if (count > 9) return std::nullopt;
      field = digits(text, count, count);
      if (!field) return std::nullopt;
      fraction = static_cast<double>(*field);
      for (std::size_t k = 0; k < count; ++k) fraction /= 10.0;
    } else {
      if (count > 2) return std::nullopt;
      long* target = nullptr;
      long most = 0;
      switch (c) {
        case 'M': target = &month; most = 12; break;
        case 'd': target = &day; most = 31; break;
        case 'H': target = &hour; most = 23; break;
        case 'm': target = &minute; most = 59; break;
        case 's': target = &second; most = 59; break;
        default: return std::nullopt;
      }
      field = digits(text, count, 2);
      if (!field || *field > most || ((c == 'M' || c == 'd') && *field < 1)) return std::nullopt;
      *target = *field;
    }
  }
  if (!text.empty() || day > daysInMonth(year, month)) return std::nullopt;

  std::tm local{};
  local.tm_year = static_cast<int>(year - 1900);
  local.tm_mon = static_cast<int>(month - 1);
  local.tm_mday = static_cast<int>(day);
  local.tm_hour = static_cast<int>(hour);
  local.tm_min = static_cast<int>(minute);
  local.tm_sec = static_cast<int>(second);
  local.tm_isdst = -1;  // whatever the zone's rules say for that day
  errno = 0;
  const std::time_t moment = std::mktime(&local);
  if (moment == static_cast<std::time_t>(-1) && errno == EOVERFLOW) return std::nullopt;
  return Date{static_cast<double>(moment) + fraction};
}

}  // namespace trellis
