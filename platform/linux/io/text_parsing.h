// Small helpers for the text the kernel and the system's files hold: digit checks, whole-token
// integers (std::from_chars with nothing left over), trimming and splitting, and hex digits for
// bytes. Stateless; any thread.
#pragma once

#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace trellis::lnx {

constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }

// True when `text` is one or more decimal digits and nothing else.
constexpr bool isDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!isDigit(c)) return false;
  }
  return true;
}

// The decimal digits `text` starts with; empty when it starts with something else.
constexpr std::string_view leadingDigits(std::string_view text) {
  std::size_t n = 0;
  while (n < text.size() && isDigit(text[n])) ++n;
  return text.substr(0, n);
}

// Whether `parseInteger` takes a leading '-'.
enum class Sign {
  kNone,          // digits only
  kMinusAllowed,  // an optional '-' before the digits (for a signed T)
};

// All of `text` as an integer in `base` (10, or 16 with letters in either case): digits only, no
// '+', blanks or "0x", and a value that fits T. Nothing for anything else, the empty text included.
template <typename T>
std::optional<T> parseInteger(std::string_view text, int base = 10, Sign sign = Sign::kNone) {
  std::string_view digits = text;
  if (sign == Sign::kMinusAllowed && digits.starts_with('-')) digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  for (char c : digits) {
    const bool letter = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!isDigit(c) && !(base == 16 && letter)) return std::nullopt;
  }
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// `text` without the spaces, tabs and line ends around it.
constexpr std::string_view trimmed(std::string_view text) {
  const std::size_t start = text.find_first_not_of(" \t\n\r");
  if (start == std::string_view::npos) return {};
  const std::size_t end = text.find_last_not_of(" \t\n\r");
  return text.substr(start, end - start + 1);
}

// The fields of `line` between runs of spaces (a tab is part of a field).
std::vector<std::string_view> splitFields(std::string_view line);

enum class HexCase { kLower, kUpper };

// Two hex digits for each byte of `bytes`, the high half first.
std::string hexEncode(std::string_view bytes, HexCase letters = HexCase::kLower);

}  // namespace trellis::lnx
