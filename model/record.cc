// The registry of record types and the number conversions of property accessors. The registry is
// the only shared state: one mutex guards it, and a table is never changed once stored.
#include "model/record.h"

#include <cmath>
#include <limits>
#include <mutex>
#include <unordered_map>

namespace trellis {
namespace {

struct Registry {
  std::mutex mutex;
  // unique_ptr: tables keep their address while the maps grow.
  std::unordered_map<std::type_index, std::unique_ptr<const RecordType>> byType;
  std::map<std::string, const RecordType*, std::less<>> byName;
};

Registry& registry() {
  static Registry* shared = new Registry;  // never destroyed: threads may still convert at exit
  return *shared;
}

ObjectList listFrom(const Array& array) {
  ObjectList list;
  list.reserve(array.size());
  for (const Value& element : array) list.emplace_back(element);
  return list;
}

}  // namespace

Object::Object(Value value) {
  if (const Array* array = value.array()) storage_ = listFrom(*array);
  else storage_ = std::move(value);
}

const char* propertyKindName(PropertyKind kind) {
  switch (kind) {
    case PropertyKind::Int8: return "int8";
    case PropertyKind::Int16: return "int16";
    case PropertyKind::Int32: return "int32";
    case PropertyKind::Int64: return "int64";
    case PropertyKind::UInt8: return "uint8";
    case PropertyKind::UInt16: return "uint16";
    case PropertyKind::UInt32: return "uint32";
    case PropertyKind::UInt64: return "uint64";
    case PropertyKind::Float: return "float";
    case PropertyKind::Double: return "double";
    case PropertyKind::Bool: return "bool";
    case PropertyKind::Text: return "text";
    case PropertyKind::List: return "list";
    case PropertyKind::Record: return "record";
  }
  return "?";
}

const RecordType* recordTypeNamed(std::string_view className) {
  Registry& shared = registry();
  std::lock_guard lock(shared.mutex);
  auto it = shared.byName.find(className);
  return it == shared.byName.end() ? nullptr : it->second;
}

namespace detail {

const RecordType& recordTypeFor(std::type_index type, RecordType (*build)()) {
  Registry& shared = registry();
  // Built under the lock so that each table is worked out exactly once. Building never looks a
  // type up (tables refer to other types through accessors), so it cannot wait on this lock.
  std::lock_guard lock(shared.mutex);
  auto it = shared.byType.find(type);
  if (it == shared.byType.end()) {
    it = shared.byType.emplace(type, std::make_unique<const RecordType>(build())).first;
    // Two C++ types with one class name: the first keeps the name.
    shared.byName.emplace(it->second->name(), it->second.get());
  }
  return *it->second;
}

namespace {

// A floating-point number as an integer when it is a whole number in [-2^bits, 2^bits).
template <class I>
std::optional<I> wholeNumber(double number) {
  constexpr int bits = std::numeric_limits<I>::digits;
  const double lowest = std::is_signed_v<I> ? -std::ldexp(1.0, bits) : 0.0;
  if (!std::isfinite(number) || std::trunc(number) != number || number < lowest || number >= std::ldexp(1.0, bits)) {
    return std::nullopt;
  }
  return static_cast<I>(number);
}

}  // namespace

std::optional<std::int64_t> signedFrom(const Value& value) {
  if (const float* f = value.get<float>()) return wholeNumber<std::int64_t>(*f);
  if (const double* d = value.get<double>()) return wholeNumber<std::int64_t>(*d);
  return value.toInt64();  // booleans as 0/1; nothing for a uint64 above the int64 range
}

std::optional<std::uint64_t> unsignedFrom(const Value& value) {
  if (const std::uint64_t* u = value.get<std::uint64_t>()) return *u;
  if (const float* f = value.get<float>()) return wholeNumber<std::uint64_t>(*f);
  if (const double* d = value.get<double>()) return wholeNumber<std::uint64_t>(*d);
  std::optional<std::int64_t> number = value.toInt64();
  if (!number || *number < 0) return std::nullopt;
  return static_cast<std::uint64_t>(*number);
}

std::optional<float> floatFrom(const Value& value) {
  if (const float* f = value.get<float>()) return *f;
  std::optional<double> number = value.toDouble();
  if (!number) return std::nullopt;
  // A finite number past a float's range has no float to become.
  if (std::isfinite(*number) && std::fabs(*number) > std::numeric_limits<float>::max()) return std::nullopt;
  return static_cast<float>(*number);
}

}  // namespace detail
}  // namespace trellis
