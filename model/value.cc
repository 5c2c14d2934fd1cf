#include "model/value.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace trellis {

// kind() reads the variant's index as a Kind: the two orders must agree.
template <Value::Kind kind, class T>
constexpr bool kindHolds = std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(kind), Value::Storage>, T>;
static_assert(kindHolds<Value::Kind::Null, Null> && kindHolds<Value::Kind::Bool, bool> &&
              kindHolds<Value::Kind::Int32, std::int32_t> && kindHolds<Value::Kind::Int64, std::int64_t> &&
              kindHolds<Value::Kind::UInt32, std::uint32_t> && kindHolds<Value::Kind::UInt64, std::uint64_t> &&
              kindHolds<Value::Kind::Float, float> && kindHolds<Value::Kind::Double, double> &&
              kindHolds<Value::Kind::String, std::string> && kindHolds<Value::Kind::Bytes, Bytes> &&
              kindHolds<Value::Kind::Date, Date> && kindHolds<Value::Kind::Array, Array> &&
              kindHolds<Value::Kind::Dictionary, Dictionary> &&
              std::variant_size_v<Value::Storage> == static_cast<std::size_t>(Value::Kind::Dictionary) + 1);

bool Value::isNumber() const {
  switch (kind()) {
    case Kind::Int32: case Kind::Int64: case Kind::UInt32: case Kind::UInt64:
    case Kind::Float: case Kind::Double:
      return true;
    default:
      return false;
  }
}

std::optional<double> Value::toDouble() const {
  return std::visit(
      [](const auto& v) -> std::optional<double> {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_arithmetic_v<T>) return static_cast<double>(v);
        else return std::nullopt;
      },
      storage_);
}

std::optional<std::int64_t> Value::toInt64() const {
  return std::visit(
      [](const auto& v) -> std::optional<std::int64_t> {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::uint64_t>) {
          if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
          return static_cast<std::int64_t>(v);
        } else if constexpr (std::is_floating_point_v<T>) {
          // Truncates toward zero, as a number read as an integer does.
          if (!std::isfinite(v) || v >= 9.2233720368547758e18 || v < -9.2233720368547758e18) return std::nullopt;
          return static_cast<std::int64_t>(v);
        } else if constexpr (std::is_arithmetic_v<T>) {
          return static_cast<std::int64_t>(v);
        } else {
          return std::nullopt;
        }
      },
      storage_);
}

const Value* Value::find(std::string_view key) const {
  const Dictionary* dict = dictionary();
  if (dict == nullptr) return nullptr;
  auto it = dict->find(key);
  return it == dict->end() ? nullptr : &it->second;
}

void assignKeepingStorage(Dictionary& to, const Dictionary& from) {
  // Both are sorted by key: walk them together, dropping the keys `from` does not have.
  auto target = to.begin();
  for (const auto& [key, value] : from) {
    while (target != to.end() && target->first < key) target = to.erase(target);
    if (target == to.end() || target->first != key) {
      target = to.emplace_hint(target, key, value);
    } else {
      assignKeepingStorage(target->second, value);
    }
    ++target;
  }
  to.erase(target, to.end());
}

void assignKeepingStorage(Value& to, const Value& from) {
  if (to.kind() == from.kind()) {
    if (Dictionary* dictionary = to.get<Dictionary>()) return assignKeepingStorage(*dictionary, *from.dictionary());
    if (Array* array = to.get<Array>()) {
      const Array& source = *from.array();
      array->resize(std::min(array->size(), source.size()));  // shrinking only: never allocates
      for (std::size_t i = 0; i < source.size(); ++i) {
        if (i < array->size()) {
          assignKeepingStorage((*array)[i], source[i]);
        } else {
          array->push_back(source[i]);
        }
      }
      return;
    }
  }
  // Of the same kind, text and bytes are assigned into the buffers they have.
  to = from;
}

int Value::depth() const {
  // Iterative so that a hostile, deeply nested value cannot exhaust the stack.
  int deepest = 0;
  std::vector<std::pair<const Value*, int>> pending{{this, 0}};
  while (!pending.empty()) {
    auto [value, level] = pending.back();
    pending.pop_back();
    if (const Array* a = value->array()) {
      deepest = std::max(deepest, level + 1);
      for (const Value& element : *a) pending.emplace_back(&element, level + 1);
    } else if (const Dictionary* d = value->dictionary()) {
      deepest = std::max(deepest, level + 1);
      for (const auto& [key, element] : *d) pending.emplace_back(&element, level + 1);
    }
  }
  return deepest;
}

const char* kindName(Value::Kind kind) {
  switch (kind) {
    case Value::Kind::Null: return "null";
    case Value::Kind::Bool: return "bool";
    case Value::Kind::Int32: return "int32";
    case Value::Kind::Int64: return "int64";
    case Value::Kind::UInt32: return "uint32";
    case Value::Kind::UInt64: return "uint64";
    case Value::Kind::Float: return "float";
    case Value::Kind::Double: return "double";
    case Value::Kind::String: return "string";
    case Value::Kind::Bytes: return "bytes";
    case Value::Kind::Date: return "date";
    case Value::Kind::Array: return "array";
    case Value::Kind::Dictionary: return "dictionary";
  }
  return "?";
}

}  // namespace trellis
