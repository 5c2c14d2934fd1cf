// The property-list value: what a notification's user information, a record's dictionary form and
// the preferences store are made of. A Value is a plain value type (copies are deep); it holds no
// OS resource and may be moved between threads freely, but one Value is not meant to be shared
// mutably by two threads.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace trellis {

class Value;

using Array = std::vector<Value>;
// Keyed by text, without an order of its own (a std::map keeps keys sorted, which only makes
// output stable).
using Dictionary = std::map<std::string, Value, std::less<>>;
using Bytes = std::vector<std::uint8_t>;

// A moment in time, as seconds since 1970-01-01 00:00:00 UTC.
struct Date {
  double secondsSince1970 = 0.0;
  friend bool operator==(const Date&, const Date&) = default;
};

struct Null {
  friend bool operator==(const Null&, const Null&) = default;
};

class Value {
 public:
  // The order of the alternatives is the order of Kind.
  using Storage = std::variant<Null, bool, std::int32_t, std::int64_t, std::uint32_t, std::uint64_t,
                               float, double, std::string, Bytes, Date, Array, Dictionary>;
  enum class Kind {
    Null, Bool, Int32, Int64, UInt32, UInt64, Float, Double, String, Bytes, Date, Array, Dictionary
  };

  Value() = default;
  Value(Null) {}
  Value(bool v) : storage_(v) {}
  Value(std::int32_t v) : storage_(v) {}
  Value(std::int64_t v) : storage_(v) {}
  Value(std::uint32_t v) : storage_(v) {}
  Value(std::uint64_t v) : storage_(v) {}
  Value(float v) : storage_(v) {}
  Value(double v) : storage_(v) {}
  Value(std::string v) : storage_(std::move(v)) {}
  Value(std::string_view v) : storage_(std::string(v)) {}
  Value(const char* v) : storage_(std::string(v)) {}
  Value(Bytes v) : storage_(std::move(v)) {}
  Value(Date v) : storage_(v) {}
  Value(Array v) : storage_(std::move(v)) {}
  Value(Dictionary v) : storage_(std::move(v)) {}

  Kind kind() const { return static_cast<Kind>(storage_.index()); }
  bool isNull() const { return kind() == Kind::Null; }
  bool isNumber() const;  // any of the integer kinds, float or double (not bool)

  // Typed access: a pointer to the held value when the kind matches exactly, else nullptr.
  template <class T>
  const T* get() const { return std::get_if<T>(&storage_); }
  template <class T>
  T* get() { return std::get_if<T>(&storage_); }

  const std::string* string() const { return get<std::string>(); }
  const Array* array() const { return get<Array>(); }
  const Dictionary* dictionary() const { return get<Dictionary>(); }

  // A number of any kind (booleans included, as 0/1) converted to the asked type; nothing for
  // other kinds. Integer conversions that do not fit give nothing rather than a wrapped value.
  std::optional<double> toDouble() const;
  std::optional<std::int64_t> toInt64() const;

  // Looks up a key when this is a dictionary; nullptr otherwise or when the key is missing.
  const Value* find(std::string_view key) const;

  // The nesting depth: 0 for a scalar, 1 for an empty or flat container, and so on.
  int depth() const;

  const Storage& storage() const { return storage_; }

  friend bool operator==(const Value&, const Value&) = default;

 private:
  Storage storage_;
};

const char* kindName(Value::Kind kind);

// Makes `to` equal to `from`, keeping the dictionaries' entries, the arrays' elements and the text
// buffers that `to` already has where the two agree in shape: refreshing a value whose shape stays
// the same allocates nothing. Recurses as deep as `from` is nested, as copying does.
void assignKeepingStorage(Value& to, const Value& from);
void assignKeepingStorage(Dictionary& to, const Dictionary& from);

}  // namespace trellis
