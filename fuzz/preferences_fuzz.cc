// Fuzzes the preferences document reader: the input is a domain file. A document that reads must
// also read as a keyed archive, must write again, and its rewrite must read back to a document
// that writes the very same text; every value read must convert to every kind without a fault.
// Single-threaded.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/services.h"
#include "base/system_log.h"
#include "model/keyed_archive.h"
#include "tools/kw_user_defaults.h"
#include "tools/preferences_storage.h"

namespace {

using namespace trellis;

// Nothing the reader does is logged; a quiet log keeps it that way should that change. (Installing
// it also links the log chooser early, which the static libraries' link order needs.)
struct QuietLog final : SystemLog {
  void write(int, std::string_view) override {}
};

void convertEverything(const Value& value) {
  (void)PreferencesStore::stringFromValue(value);
  (void)PreferencesStore::integerFromValue(value);
  (void)PreferencesStore::doubleFromValue(value);
  (void)PreferencesStore::boolFromValue(value);
  (void)PreferencesStore::URLFromValue(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static QuietLog quiet;
  static ScopedServices quietLog([](Services& services) { services.log = &quiet; });
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  std::optional<Dictionary> values = readPreferencesDocument(text, &error);
  if (!values) {
    if (error.empty()) __builtin_trap();  // every refusal says why
    return 0;
  }
  if (KeyedUnarchiver::forReading(text) == nullptr) __builtin_trap();  // a preferences file is an archive
  for (const auto& [key, value] : *values) {
    convertEverything(value);
    if (!isPreferenceValue(value)) __builtin_trap();  // no null is ever read
  }

  std::optional<std::string> again = preferencesDocument(*values);
  if (!again) __builtin_trap();  // whatever was read can be written
  std::optional<Dictionary> twice = readPreferencesDocument(*again);
  if (!twice || twice->size() != values->size()) __builtin_trap();
  // Compared as text: NaN values are unequal to themselves.
  std::optional<std::string> third = preferencesDocument(*twice);
  if (!third || *third != *again) __builtin_trap();
  return 0;
}
