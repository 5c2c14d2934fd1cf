// The dictionary mapping of records: a record's dictionary form by property name (what the fan set
// carries in a notification), JSON objects, and writing and reading a record's properties through
// a keyed coder. Stateless apart from the record-type registry (model/record.h): any thread may
// convert, provided no other thread changes the records being converted.
#pragma once

#include <optional>
#include <string>

#include "model/record.h"
#include "model/value.h"

namespace trellis {

class KeyedEncoder;
class KeyedDecoder;

// The dictionary form of a record: for each property of its table, the boxed value (model/
// record.h: an integer as the Value of its own kind, a boolean as int32 0 or 1) under the
// property's name, with a record replaced by its dictionary form and a list by a new Array in
// the same order whose records are replaced by their dictionary forms (null records left out).
// Absent values (no text, no list, no record) leave their key out; numbers are never absent.
// Records and lists nested more than kMaxRecordNesting deep, counting the record itself, are left
// out too (only a record graph with a cycle gets there).
Dictionary mj_keyValues(const RecordType& type, const void* record);
template <Record T>
Dictionary mj_keyValues(const T& record) {
  return mj_keyValues(recordTypeOf<T>(), &record);
}

inline constexpr int kMaxRecordNesting = 64;

// Any object: a record gives its dictionary form, the null record nothing, a list a new Array
// converted element by element, and any other value itself, unchanged.
std::optional<Value> mj_keyValues(const Object& object);

// A string value is parsed as UTF-8 JSON text and a bytes value as JSON; nothing when that is not
// JSON (any JSON value is accepted at the top, not only objects and arrays). Anything else gives
// what mj_keyValues gives.
std::optional<Value> mj_JSONObject(const Object& object);
template <Record T>
Dictionary mj_JSONObject(const T& record) {
  return mj_keyValues(record);
}

// A new Array with every record of `list` replaced by its dictionary form (null records left out)
// and every nested list converted the same way; other values are copied unchanged.
Array mj_keyValuesArrayWithObjectArray(const ObjectList& list);

// The class-in-array map of T: list property name to element class name; empty for most types.
template <Record T>
const ClassInArray& mj_objectClassInArray() {
  return recordTypeOf<T>().classInArray();
}

// Writes each present property of the record into `coder` under the property's name (numbers as
// boxed numbers, records and lists of records as archived objects). A failure is kept in the
// coder (KeyedEncoder::failed).
void mj_encode(const RecordType& type, const void* record, KeyedEncoder& coder);
template <Record T>
void mj_encode(const T& record, KeyedEncoder& coder) {
  mj_encode(recordTypeOf<T>(), &record, coder);
}

// Sets each property of the record from `coder`: the object under the property's name, else under
// "_" + the name, accepting a number, an object of the property's own class (text, list, or its
// record type) or, for a list, the record class that the class-in-array map names. A key found
// under neither name leaves the property as it was. An object of any other class, or one that
// does not fit the property, fails the coder (KeyedDecoder::failed) and stops there: the record is
// then partly set and must be thrown away, which the unarchiver does.
void mj_decode(const RecordType& type, void* record, KeyedDecoder& coder);
template <Record T>
void mj_decode(T& record, KeyedDecoder& coder) {
  mj_decode(recordTypeOf<T>(), &record, coder);
}

}  // namespace trellis
