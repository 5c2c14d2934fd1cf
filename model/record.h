// Property tables for records: a record type lists its properties in declaration order, each with
// a name, a kind and accessors, so that the dictionary form and keyed archiving (model/mapping.h,
// model/keyed_archive.h) can walk any record without knowing its C++ type. A type's table is
// worked out once, on first use, and kept in a process-wide registry behind a lock: any thread may
// look a type up, and every thread sees the same table. Records themselves are not locked.
//
// A record type is a default-constructible class with a static `recordTable()` that lists its
// properties through getters and setters:
//
//   RecordTable<Fan> Fan::recordTable() {
//     return RecordTable<Fan>("Fan")
//         .property("ID", &Fan::ID, &Fan::setID)
//         .property("speed", &Fan::speed, &Fan::setSpeed)
//         .archivable();
//   }
//
// `recordTable()` runs once per process, under the registry's lock: it must not look record types
// up itself (recordTypeOf, mapping calls), which would wait on that lock for ever.
//
// A getter returns (by value or const reference) one of the property types below, and its setter
// takes that type:
//   integers of 8, 16, 32 or 64 bits, signed or unsigned   always present
//   float, double, bool                                   always present
//   std::string                                           text, always present
//   std::optional<std::string>                            text, absent when it holds none
//   std::vector<E>, std::optional<std::vector<E>>         list (absent only as an empty optional)
//   std::shared_ptr<R>, std::optional<R>, R               reference to a record (absent when null)
// where R is a record type and a list element E is a number, a std::string, std::shared_ptr<R>
// or R.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeindex>
#include <utility>
#include <variant>
#include <vector>

#include "model/value.h"

namespace trellis {

class RecordType;
template <class T>
class RecordTable;

// A class with a property table.
template <class T>
concept Record = std::default_initializable<T> && requires {
  { T::recordTable() } -> std::same_as<RecordTable<T>>;
};

// The described type of T. Its table is worked out on the first call from any thread and the same
// table is returned from then on.
template <Record T>
const RecordType& recordTypeOf();

// The described type of that class name, when that type's table has been worked out already;
// nullptr otherwise.
const RecordType* recordTypeNamed(std::string_view className);

// One record of a described type, held alive by `record`. A null `record` is the null object.
struct RecordObject {
  const RecordType* type = nullptr;
  std::shared_ptr<const void> record;
};

class Object;
using ObjectList = std::vector<Object>;

// What the mapping and the keyed coders hand around: a plain value, a record, or an ordered list
// of objects (which may hold records). Lists are always ObjectLists: an Array value given to the
// constructor becomes an ObjectList of its elements, at every level, so the same list never has
// two forms. Dictionaries stay Values and hold plain values only.
class Object {
 public:
  Object() = default;  // the Null value
  Object(Value value);
  Object(RecordObject record) : storage_(std::move(record)) {}
  Object(ObjectList list) : storage_(std::move(list)) {}
  template <Record T>
  Object(std::shared_ptr<T> record)
      : storage_(RecordObject{&recordTypeOf<T>(), std::shared_ptr<const void>(std::move(record))}) {}

  // The held alternative, or nullptr.
  const Value* value() const { return std::get_if<Value>(&storage_); }
  const RecordObject* record() const { return std::get_if<RecordObject>(&storage_); }
  const ObjectList* list() const { return std::get_if<ObjectList>(&storage_); }

 private:
  std::variant<Value, RecordObject, ObjectList> storage_;
};

enum class PropertyKind {
  Int8, Int16, Int32, Int64, UInt8, UInt16, UInt32, UInt64, Float, Double, Bool, Text, List, Record
};

const char* propertyKindName(PropertyKind kind);

// Gives a described type without working it out before it is needed, so that tables may refer to
// each other (or to themselves) in any order.
using RecordTypeAccessor = const RecordType& (*)();

// One property of a record type. The accessors take the record as a pointer to the table's C++
// type, given as void*.
struct Property {
  std::string name;
  PropertyKind kind = PropertyKind::Int32;
  // For a Record property, the type of its record; for a List property whose elements are
  // records, the type of the elements; nullptr otherwise.
  RecordTypeAccessor recordType = nullptr;
  // The value boxed as an object, or nothing when absent (no text, no list, no record). Integers
  // box as the Value of their width and sign (8 and 16 bits widen to 32), floats as float, doubles
  // as double, booleans as the int32 number 0 or 1, a text as a string, a list as an ObjectList
  // (null records left out), a record as a RecordObject.
  std::function<std::optional<Object>(const void* record)> read;
  // Sets the property from an object; false, with the property unchanged, when the object does
  // not fit: an integer property takes a number whose value it can hold exactly (a boolean as 0
  // or 1), a float or double property any number (a finite one outside a float's range is
  // refused), a boolean property any number (non-zero is true), a text property a string, a list
  // property an ObjectList whose every element fits, a record property a record of its type.
  std::function<bool(void* record, const Object& object)> write;
};

// The class-in-array map: a list property's name to the class name of its elements.
using ClassInArray = std::map<std::string, std::string, std::less<>>;

// A record type's table. Immutable once worked out; shared by every thread.
class RecordType {
 public:
  const std::string& name() const { return name_; }
  // Declaration order; an ancestor's properties follow where `inherits` put them.
  const std::vector<Property>& properties() const { return properties_; }
  const ClassInArray& classInArray() const { return classInArray_; }
  // True when records of this type can be written to and read from a keyed archive.
  bool archivable() const { return archivable_; }
  // A new record in its initial state.
  std::shared_ptr<void> make() const { return make_(); }

 private:
  template <class T>
  friend class RecordTable;

  std::string name_;
  std::vector<Property> properties_;
  ClassInArray classInArray_;
  bool archivable_ = false;
  std::function<std::shared_ptr<void>()> make_;
};

namespace detail {

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {};
template <class T>
struct IsSharedPtr : std::false_type {};
template <class T>
struct IsSharedPtr<std::shared_ptr<T>> : std::true_type {};

template <class T>
concept Integer = std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char> &&
                  !std::same_as<T, wchar_t> && !std::same_as<T, char8_t> && !std::same_as<T, char16_t> &&
                  !std::same_as<T, char32_t>;

template <class T>
concept Scalar = Integer<T> || std::same_as<T, float> || std::same_as<T, double> || std::same_as<T, bool>;

template <class T>
concept SharedRecord = IsSharedPtr<T>::value && Record<typename T::element_type>;

// What a list may hold.
template <class E>
concept Element = Scalar<E> || std::same_as<E, std::string> || SharedRecord<E> || Record<E>;

template <class V>
concept ListOf = IsVector<V>::value && Element<typename V::value_type>;

// What a property may be.
template <class V>
concept PropertyValue = Element<V> || ListOf<V> ||
                        (IsOptional<V>::value && (std::same_as<typename V::value_type, std::string> ||
                                                  ListOf<typename V::value_type> ||
                                                  Record<typename V::value_type>));

// Numbers in and out of Values.
std::optional<std::int64_t> signedFrom(const Value& value);
std::optional<std::uint64_t> unsignedFrom(const Value& value);
std::optional<float> floatFrom(const Value& value);

template <Integer I>
Value boxInteger(I number) {
  if constexpr (std::is_signed_v<I>) {
    if constexpr (sizeof(I) <= 4) return Value(static_cast<std::int32_t>(number));
    else return Value(static_cast<std::int64_t>(number));
  } else {
    if constexpr (sizeof(I) <= 4) return Value(static_cast<std::uint32_t>(number));
    else return Value(static_cast<std::uint64_t>(number));
  }
}

template <Integer I>
constexpr PropertyKind integerKind() {
  constexpr bool s = std::is_signed_v<I>;
  switch (sizeof(I)) {
    case 1: return s ? PropertyKind::Int8 : PropertyKind::UInt8;
    case 2: return s ? PropertyKind::Int16 : PropertyKind::UInt16;
    case 4: return s ? PropertyKind::Int32 : PropertyKind::UInt32;
    default: return s ? PropertyKind::Int64 : PropertyKind::UInt64;
  }
}

template <class V>
constexpr PropertyKind kindOf() {
  if constexpr (Integer<V>) return integerKind<V>();
  else if constexpr (std::same_as<V, float>) return PropertyKind::Float;
  else if constexpr (std::same_as<V, double>) return PropertyKind::Double;
  else if constexpr (std::same_as<V, bool>) return PropertyKind::Bool;
  else if constexpr (std::same_as<V, std::string>) return PropertyKind::Text;
  else if constexpr (IsVector<V>::value) return PropertyKind::List;
  else if constexpr (IsOptional<V>::value) return kindOf<typename V::value_type>();
  else return PropertyKind::Record;
}

template <class V>
constexpr RecordTypeAccessor recordTypeAccessorOf() {
  if constexpr (SharedRecord<V>) return &recordTypeOf<typename V::element_type>;
  else if constexpr (Record<V>) return &recordTypeOf<V>;
  else if constexpr (IsVector<V>::value || IsOptional<V>::value) return recordTypeAccessorOf<typename V::value_type>();
  else return nullptr;
}

template <class V>
std::optional<Object> box(const V& value);
template <class V>
bool unbox(const Object& object, V& out);

template <class V>
std::optional<Object> box(const V& value) {
  if constexpr (Integer<V>) {
    return Object(boxInteger(value));
  } else if constexpr (std::same_as<V, bool>) {
    // A boolean travels as the number 0 or 1, not as a boolean value.
    return Object(Value(static_cast<std::int32_t>(value ? 1 : 0)));
  } else if constexpr (std::same_as<V, float> || std::same_as<V, double>) {
    return Object(Value(value));
  } else if constexpr (std::same_as<V, std::string>) {
    return Object(Value(value));
  } else if constexpr (SharedRecord<V>) {
    if (!value) return std::nullopt;
    return Object(RecordObject{&recordTypeOf<typename V::element_type>(), std::shared_ptr<const void>(value)});
  } else if constexpr (Record<V>) {
    // A record held by value is copied, so the object cannot outlive what it points to.
    return Object(RecordObject{&recordTypeOf<V>(), std::make_shared<const V>(value)});
  } else if constexpr (IsOptional<V>::value) {
    if (!value) return std::nullopt;
    return box<typename V::value_type>(*value);
  } else {
    static_assert(IsVector<V>::value);
    ObjectList list;
    list.reserve(value.size());
    for (const auto& element : value) {
      if (std::optional<Object> boxed = box<typename V::value_type>(element)) list.push_back(std::move(*boxed));
    }
    return Object(std::move(list));
  }
}

template <class V>
bool unbox(const Object& object, V& out) {
  if constexpr (Scalar<V>) {
    const Value* value = object.value();
    if (value == nullptr) return false;
    if constexpr (std::same_as<V, bool>) {
      std::optional<double> number = value->toDouble();
      if (!number) return false;
      out = *number != 0.0;
    } else if constexpr (std::same_as<V, double>) {
      std::optional<double> number = value->toDouble();
      if (!number) return false;
      out = *number;
    } else if constexpr (std::same_as<V, float>) {
      std::optional<float> number = floatFrom(*value);
      if (!number) return false;
      out = *number;
    } else if constexpr (std::is_signed_v<V>) {
      std::optional<std::int64_t> number = signedFrom(*value);
      if (!number || !std::in_range<V>(*number)) return false;
      out = static_cast<V>(*number);
    } else {
      std::optional<std::uint64_t> number = unsignedFrom(*value);
      if (!number || !std::in_range<V>(*number)) return false;
      out = static_cast<V>(*number);
    }
    return true;
  } else if constexpr (std::same_as<V, std::string>) {
    const Value* value = object.value();
    if (value == nullptr || value->string() == nullptr) return false;
    out = *value->string();
    return true;
  } else if constexpr (SharedRecord<V>) {
    using R = typename V::element_type;
    const RecordObject* record = object.record();
    if (record == nullptr || (record->record && record->type != &recordTypeOf<R>())) return false;
    // Records are shared, as references are: the decoded record made this one, mutable.
    out = std::const_pointer_cast<R>(std::static_pointer_cast<const R>(record->record));
    return true;
  } else if constexpr (Record<V>) {
    const RecordObject* record = object.record();
    if (record == nullptr || !record->record || record->type != &recordTypeOf<V>()) return false;
    out = *static_cast<const V*>(record->record.get());
    return true;
  } else if constexpr (IsOptional<V>::value) {
    typename V::value_type inner{};
    if (!unbox(object, inner)) return false;
    out = std::move(inner);
    return true;
  } else {
    static_assert(IsVector<V>::value);
    const ObjectList* list = object.list();
    if (list == nullptr) return false;
    V elements;
    elements.reserve(list->size());
    for (const Object& element : *list) {
      typename V::value_type unboxed{};
      if (!unbox(element, unboxed)) return false;
      elements.push_back(std::move(unboxed));
    }
    out = std::move(elements);
    return true;
  }
}

// The registry: the table of `type`, made with `build` under the registry's lock the first time.
const RecordType& recordTypeFor(std::type_index type, RecordType (*build)());

}  // namespace detail

// Builds the table of record type T. Each `property` call appends one property; the getter and
// setter are member functions (or any callables taking `const T&`, and `T&` plus the value).
template <class T>
class RecordTable {
 public:
  explicit RecordTable(std::string className) {
    type_.name_ = std::move(className);
    type_.make_ = [] { return std::shared_ptr<void>(std::make_shared<T>()); };
  }

  template <class Getter, class Setter>
  RecordTable& property(std::string name, Getter getter, Setter setter) {
    using V = std::remove_cvref_t<std::invoke_result_t<Getter, const T&>>;
    static_assert(detail::PropertyValue<V>, "not a type a record property can have (see model/record.h)");
    static_assert(std::is_invocable_v<Setter, T&, V&&>, "the setter does not take the getter's type");
    Property p;
    p.name = std::move(name);
    p.kind = detail::kindOf<V>();
    p.recordType = detail::recordTypeAccessorOf<V>();
    p.read = [getter](const void* record) -> std::optional<Object> {
      return detail::box<V>(std::invoke(getter, *static_cast<const T*>(record)));
    };
    p.write = [setter](void* record, const Object& object) {
      V value{};
      if (!detail::unbox(object, value)) return false;
      std::invoke(setter, *static_cast<T*>(record), std::move(value));
      return true;
    };
    type_.properties_.push_back(std::move(p));
    return *this;
  }

  // Appends the properties of an ancestor record type B of T (read and written through T's base).
  template <Record B>
    requires std::derived_from<T, B>
  RecordTable& inherits() {
    for (const Property& base : B::recordTable().take().properties_) {
      Property p = base;
      p.read = [read = base.read](const void* record) {
        return read(static_cast<const B*>(static_cast<const T*>(record)));
      };
      p.write = [write = base.write](void* record, const Object& object) {
        return write(static_cast<B*>(static_cast<T*>(record)), object);
      };
      type_.properties_.push_back(std::move(p));
    }
    return *this;
  }

  // Declares that the list property `listName` holds records of class `elementClass`; decoding
  // from a keyed coder accepts such records only when declared.
  RecordTable& classInArray(std::string listName, std::string elementClass) {
    type_.classInArray_.insert_or_assign(std::move(listName), std::move(elementClass));
    return *this;
  }

  // Records of this type may be written to and read from a keyed archive.
  RecordTable& archivable() {
    type_.archivable_ = true;
    return *this;
  }

  RecordType take() && { return std::move(type_); }

 private:
  RecordType type_;
};

template <Record T>
const RecordType& recordTypeOf() {
  return detail::recordTypeFor(typeid(T), [] { return T::recordTable().take(); });
}

}  // namespace trellis
