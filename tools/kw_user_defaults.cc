// Typed reads and writes over preference domains, and the process-wide KwUserDefaults. The
// conversions follow the table in the header; a store adds no locking of its own (its domain
// does), the group registry none at all.
#include "tools/kw_user_defaults.h"

#include <clocale>
#include <cmath>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <locale.h>
#include <mutex>

namespace trellis {

namespace {

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string_view skipSpace(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  return text;
}

// The leading integer of a text, saturated at the int64 limits; 0 when there is none.
std::int64_t leadingInteger(std::string_view text) {
  text = skipSpace(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  std::uint64_t magnitude = 0;
  bool overflow = false;
  for (char c : text) {
    if (!isDigit(c)) break;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
      overflow = true;
      break;
    }
    magnitude = magnitude * 10 + digit;
  }
  if (negative) {
    if (overflow || magnitude > static_cast<std::uint64_t>(kInt64Max) + 1) return kInt64Min;
    return magnitude == static_cast<std::uint64_t>(kInt64Max) + 1 ? kInt64Min : -static_cast<std::int64_t>(magnitude);
  }
  if (overflow || magnitude > static_cast<std::uint64_t>(kInt64Max)) return kInt64Max;
  return static_cast<std::int64_t>(magnitude);
}

// The leading decimal number of a text (sign, digits, fraction, exponent; no "inf", "nan" or hex);
// 0 when there is none, an infinity past the double range.
double leadingNumber(std::string_view text) {
  text = skipSpace(text);
  std::size_t end = 0;
  if (end < text.size() && (text[end] == '+' || text[end] == '-')) ++end;
  std::size_t digits = 0;
  while (end < text.size() && isDigit(text[end])) ++end, ++digits;
  if (end < text.size() && text[end] == '.') {
    ++end;
    while (end < text.size() && isDigit(text[end])) ++end, ++digits;
  }
  if (digits == 0) return 0.0;
  if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
    std::size_t exponent = end + 1;
    if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-')) ++exponent;
    if (exponent < text.size() && isDigit(text[exponent])) {
      end = exponent;
      while (end < text.size() && isDigit(text[end])) ++end;
    }
  }
  // strtod_l in the C locale: the decimal point is '.' whatever the process's locale, and it
  // gives HUGE_VAL on overflow and 0 (or a subnormal) on underflow.
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  const std::string prefix(text.substr(0, end));
  if (cLocale == static_cast<locale_t>(0)) return std::strtod(prefix.c_str(), nullptr);
  return strtod_l(prefix.c_str(), nullptr, cLocale);
}

// NSString's boolValue rule: after white space, a sign and zeros, Y y T t or a digit 1-9.
bool leadingTruth(std::string_view text) {
  text = skipSpace(text);
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
  while (!text.empty() && text.front() == '0') text.remove_prefix(1);
  if (text.empty()) return false;
  const char c = text.front();
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

template <class T>
std::string shortestText(T number) {
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, number);
  return error == std::errc() ? std::string(buffer, end) : std::string();
}

std::int64_t saturatedInteger(double number) {
  if (std::isnan(number)) return 0;
  if (number >= 9.2233720368547758e18) return kInt64Max;
  if (number <= -9.2233720368547758e18) return kInt64Min;
  return static_cast<std::int64_t>(number);
}

bool hasScheme(std::string_view text) {
  if (text.empty() || !isAlpha(text.front())) return false;
  for (std::size_t i = 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ':') return true;
    if (!(isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.')) return false;
  }
  return false;
}

std::string fileURL(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string url = "file://";
  for (char c : path) {
    if (isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      url.push_back(c);
    } else {
      const auto byte = static_cast<unsigned char>(c);
      url.push_back('%');
      url.push_back(kHex[byte >> 4]);
      url.push_back(kHex[byte & 0x0f]);
    }
  }
  return url;
}

}  // namespace

// ---- Conversions ----

std::optional<std::string> PreferencesStore::stringFromValue(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::String: return *value.string();
    case Value::Kind::Bool: return std::string(*value.get<bool>() ? "1" : "0");
    case Value::Kind::Int32: return std::to_string(*value.get<std::int32_t>());
    case Value::Kind::Int64: return std::to_string(*value.get<std::int64_t>());
    case Value::Kind::UInt32: return std::to_string(*value.get<std::uint32_t>());
    case Value::Kind::UInt64: return std::to_string(*value.get<std::uint64_t>());
    case Value::Kind::Float: return shortestText(*value.get<float>());
    case Value::Kind::Double: return shortestText(*value.get<double>());
    default: return std::nullopt;
  }
}

std::int64_t PreferencesStore::integerFromValue(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::String: return leadingInteger(*value.string());
    case Value::Kind::UInt64: {
      const std::uint64_t number = *value.get<std::uint64_t>();
      return number > static_cast<std::uint64_t>(kInt64Max) ? kInt64Max : static_cast<std::int64_t>(number);
    }
    case Value::Kind::Float: return saturatedInteger(*value.get<float>());
    case Value::Kind::Double: return saturatedInteger(*value.get<double>());
    default: return value.toInt64().value_or(0);  // bool and the other integers; 0 for the rest
  }
}

double PreferencesStore::doubleFromValue(const Value& value) {
  if (const std::string* text = value.string()) return leadingNumber(*text);
  return value.toDouble().value_or(0.0);  // numbers and bool; 0.0 for the rest
}

bool PreferencesStore::boolFromValue(const Value& value) {
  if (const std::string* text = value.string()) return leadingTruth(*text);
  const std::optional<double> number = value.toDouble();
  return number && *number != 0.0;  // NaN compares unequal to 0: true
}

std::optional<std::string> PreferencesStore::URLFromValue(const Value& value) {
  const std::string* text = value.string();
  if (text == nullptr) return std::nullopt;
  if (hasScheme(*text)) return *text;
  if (!text->empty() && text->front() == '/') return fileURL(*text);
  return std::nullopt;
}

// ---- PreferencesStore ----

std::optional<Value> PreferencesStore::objectForKey(std::string_view key) const {
  if (!domain_) return std::nullopt;
  return domain_->valueForKey(key);
}

bool PreferencesStore::setObject(const Value& value, std::string_view key) {
  if (value.isNull()) return removeObjectForKey(key);
  if (!domain_ || !isPreferenceValue(value)) return false;
  return domain_->update([&](Dictionary& values) { values.insert_or_assign(std::string(key), value); });
}

bool PreferencesStore::removeObjectForKey(std::string_view key) {
  if (!domain_) return false;
  return domain_->update([&](Dictionary& values) {
    if (auto it = values.find(key); it != values.end()) values.erase(it);
  });
}

bool PreferencesStore::setObjects(const Dictionary& values) {
  if (!domain_) return false;
  for (const auto& [key, value] : values) {
    if (!value.isNull() && !isPreferenceValue(value)) return false;
  }
  return domain_->update([&](Dictionary& stored) {
    for (const auto& [key, value] : values) {
      if (value.isNull()) {
        if (auto it = stored.find(key); it != stored.end()) stored.erase(it);
      } else {
        stored.insert_or_assign(key, value);
      }
    }
  });
}

std::optional<std::string> PreferencesStore::stringForKey(std::string_view key) const {
  std::optional<Value> value = objectForKey(key);
  return value ? stringFromValue(*value) : std::nullopt;
}

std::optional<Array> PreferencesStore::arrayForKey(std::string_view key) const {
  std::optional<Value> value = objectForKey(key);
  if (!value || value->array() == nullptr) return std::nullopt;
  return *value->array();
}

std::optional<Dictionary> PreferencesStore::dictionaryForKey(std::string_view key) const {
  std::optional<Value> value = objectForKey(key);
  if (!value || value->dictionary() == nullptr) return std::nullopt;
  return *value->dictionary();
}

std::optional<Bytes> PreferencesStore::dataForKey(std::string_view key) const {
  std::optional<Value> value = objectForKey(key);
  if (!value || value->get<Bytes>() == nullptr) return std::nullopt;
  return *value->get<Bytes>();
}

std::int64_t PreferencesStore::integerForKey(std::string_view key) const {
  std::optional<Value> value = objectForKey(key);
  return value ? integerFromValue(*value) : 0;
}

bool PreferencesStore::setInteger(std::int64_t value, std::string_view key) { return setObject(Value(value), key); }

float PreferencesStore::floatForKey(std::string_view key) const {
  // A stored float goes through double exactly; a double past the float range (whose conversion
  // the language leaves undefined) becomes an infinity of its sign.
  const double number = doubleForKey(key);
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  if (std::isfinite(number) && std::fabs(number) > std::numeric_limits<float>::max()) {
    return number > 0 ? kInfinity : -kInfinity;
  }
  return static_cast<float>(number);
}

bool PreferencesStore::setFloat(float value, std::string_view key) { return setObject(Value(value), key); }

double PreferencesStore::doubleForKey(std::string_view key) const {
  std::optional<Value> value = objectForKey(key);
  return value ? doubleFromValue(*value) : 0.0;
}

bool PreferencesStore::setDouble(double value, std::string_view key) { return setObject(Value(value), key); }

bool PreferencesStore::boolForKey(std::string_view key) const {
  std::optional<Value> value = objectForKey(key);
  return value && boolFromValue(*value);
}

bool PreferencesStore::setBool(bool value, std::string_view key) { return setObject(Value(value), key); }

std::optional<std::string> PreferencesStore::URLForKey(std::string_view key) const {
  std::optional<Value> value = objectForKey(key);
  return value ? URLFromValue(*value) : std::nullopt;
}

bool PreferencesStore::setURL(std::string_view url, std::string_view key) {
  if (url.empty()) return removeObjectForKey(key);
  return setObject(Value(url), key);
}

// ---- KwUserDefaults ----

KwUserDefaults& KwUserDefaults::share() {
  // A function-local static is made once, also when first calls race; it is never destroyed so
  // that it stays usable from other statics' destructors.
  static KwUserDefaults* instance = new KwUserDefaults(PreferencesStorage::system());
  return *instance;
}

KwUserDefaults::KwUserDefaults(PreferencesStorage& storage)
    : storage_(storage), userDefaults_(std::make_shared<PreferencesStore>(storage.standardDomain())) {}

PreferencesStore* KwUserDefaults::named(std::string_view group) const {
  auto it = groupDefaultsDict_.find(group);
  return it == groupDefaultsDict_.end() ? nullptr : it->second.get();
}

std::shared_ptr<PreferencesStore> KwUserDefaults::makeGroupStore(std::string_view name) {
  if (name.empty()) return nullptr;
  std::shared_ptr<PreferencesDomain> domain = storage_.suiteDomain(name);
  if (!domain) return nullptr;
  return std::make_shared<PreferencesStore>(std::move(domain));
}

void KwUserDefaults::setGroupName(std::string_view name) {
  std::shared_ptr<PreferencesStore> store = makeGroupStore(name);
  if (!store) return;
  groupDefaultsDict_.insert_or_assign(std::string(name), store);
  groupDefaults_ = std::move(store);
}

std::shared_ptr<PreferencesStore> KwUserDefaults::addGroupWithName(std::string_view name) {
  if (name.empty()) return nullptr;
  if (auto it = groupDefaultsDict_.find(name); it != groupDefaultsDict_.end()) return it->second;
  std::shared_ptr<PreferencesStore> store = makeGroupStore(name);
  if (store) groupDefaultsDict_.emplace(std::string(name), store);
  return store;
}

void KwUserDefaults::removeGroupWithName(std::string_view name) {
  auto it = groupDefaultsDict_.find(name);
  if (it == groupDefaultsDict_.end()) return;
  if (it->second == groupDefaults_) groupDefaults_.reset();
  groupDefaultsDict_.erase(it);
}

std::shared_ptr<PreferencesStore> KwUserDefaults::getGroupDefaultsWithName(std::string_view name) const {
  auto it = groupDefaultsDict_.find(name);
  return it == groupDefaultsDict_.end() ? nullptr : it->second;
}

// The three families share one body per operation: `store` is the family's store or nullptr, in
// which case writes are dropped and reads give the missing result. A store reports whether it
// wrote; these operations report nothing, as the store's contract says.
#define TRELLIS_PREFERENCE_FAMILIES(X) \
  X(ForKey, userDefaults_.get(), (std::string_view key), key) \
  X(ForGroupKey, groupDefaults_.get(), (std::string_view key), key) \
  X(ForGroup, named(group), (std::string_view group, std::string_view key), key)

#define TRELLIS_DEFINE_FAMILY(Suffix, store, keyParameters, key)                                              \
  void KwUserDefaults::setObject##Suffix(const Value& value, TRELLIS_UNPACK keyParameters) {                  \
    if (PreferencesStore* s = store) (void)s->setObject(value, key);                                          \
  }                                                                                                           \
  std::optional<Value> KwUserDefaults::object##Suffix keyParameters const {                                   \
    PreferencesStore* s = store;                                                                              \
    return s ? s->objectForKey(key) : std::nullopt;                                                           \
  }                                                                                                           \
  void KwUserDefaults::removeObject##Suffix keyParameters {                                                   \
    if (PreferencesStore* s = store) (void)s->removeObjectForKey(key);                                        \
  }                                                                                                           \
  std::optional<std::string> KwUserDefaults::string##Suffix keyParameters const {                             \
    PreferencesStore* s = store;                                                                              \
    return s ? s->stringForKey(key) : std::nullopt;                                                           \
  }                                                                                                           \
  std::optional<Array> KwUserDefaults::array##Suffix keyParameters const {                                    \
    PreferencesStore* s = store;                                                                              \
    return s ? s->arrayForKey(key) : std::nullopt;                                                            \
  }                                                                                                           \
  std::optional<Dictionary> KwUserDefaults::dictionary##Suffix keyParameters const {                          \
    PreferencesStore* s = store;                                                                              \
    return s ? s->dictionaryForKey(key) : std::nullopt;                                                       \
  }                                                                                                           \
  std::optional<Bytes> KwUserDefaults::data##Suffix keyParameters const {                                     \
    PreferencesStore* s = store;                                                                              \
    return s ? s->dataForKey(key) : std::nullopt;                                                             \
  }                                                                                                           \
  void KwUserDefaults::setInteger##Suffix(std::int64_t value, TRELLIS_UNPACK keyParameters) {                 \
    if (PreferencesStore* s = store) (void)s->setInteger(value, key);                                         \
  }                                                                                                           \
  std::int64_t KwUserDefaults::integer##Suffix keyParameters const {                                          \
    PreferencesStore* s = store;                                                                              \
    return s ? s->integerForKey(key) : 0;                                                                     \
  }                                                                                                           \
  void KwUserDefaults::setFloat##Suffix(float value, TRELLIS_UNPACK keyParameters) {                          \
    if (PreferencesStore* s = store) (void)s->setFloat(value, key);                                           \
  }                                                                                                           \
  float KwUserDefaults::float##Suffix keyParameters const {                                                   \
    PreferencesStore* s = store;                                                                              \
    return s ? s->floatForKey(key) : 0.0f;                                                                    \
  }                                                                                                           \
  void KwUserDefaults::setDouble##Suffix(double value, TRELLIS_UNPACK keyParameters) {                        \
    if (PreferencesStore* s = store) (void)s->setDouble(value, key);                                          \
  }                                                                                                           \
  double KwUserDefaults::double##Suffix keyParameters const {                                                 \
    PreferencesStore* s = store;                                                                              \
    return s ? s->doubleForKey(key) : 0.0;                                                                    \
  }                                                                                                           \
  void KwUserDefaults::setBool##Suffix(bool value, TRELLIS_UNPACK keyParameters) {                            \
    if (PreferencesStore* s = store) (void)s->setBool(value, key);                                            \
  }                                                                                                           \
  bool KwUserDefaults::bool##Suffix keyParameters const {                                                     \
    PreferencesStore* s = store;                                                                              \
    return s != nullptr && s->boolForKey(key);                                                                \
  }                                                                                                           \
  void KwUserDefaults::setURL##Suffix(std::string_view url, TRELLIS_UNPACK keyParameters) {                   \
    if (PreferencesStore* s = store) (void)s->setURL(url, key);                                               \
  }                                                                                                           \
  std::optional<std::string> KwUserDefaults::URL##Suffix keyParameters const {                                \
    PreferencesStore* s = store;                                                                              \
    return s ? s->URLForKey(key) : std::nullopt;                                                              \
  }

#define TRELLIS_UNPACK(...) __VA_ARGS__
TRELLIS_PREFERENCE_FAMILIES(TRELLIS_DEFINE_FAMILY)
#undef TRELLIS_DEFINE_FAMILY
#undef TRELLIS_PREFERENCE_FAMILIES
#undef TRELLIS_UNPACK

void KwUserDefaults::setObjectsWithKeys(const Dictionary& values) { (void)userDefaults_->setObjects(values); }

void KwUserDefaults::setObjectsWithGroupKeys(const Dictionary& values) {
  if (groupDefaults_) (void)groupDefaults_->setObjects(values);
}

void KwUserDefaults::setObjectsWithGroup(std::string_view group, const Dictionary& values) {
  if (PreferencesStore* s = named(group)) (void)s->setObjects(values);
}

}  // namespace trellis
