// The dictionary mapping over property tables. No state of its own; any thread may call it.
#include "model/mapping.h"

#include <string_view>
#include <utility>

#include "model/keyed_archive.h"
#include "model/value_json.h"

namespace trellis {
namespace {

std::optional<Value> formOf(const Object& object, int nesting);

Dictionary formOfRecord(const RecordType& type, const void* record, int nesting) {
  Dictionary form;
  for (const Property& property : type.properties()) {
    std::optional<Object> boxed = property.read(record);
    if (!boxed) continue;  // absent: no key
    std::optional<Value> value = formOf(*boxed, nesting);
    if (value) form.insert_or_assign(property.name, std::move(*value));
  }
  return form;
}

// `nesting` counts the records and lists around `object` (the container `object` becomes sits at
// nesting + 1), so that a record graph with a cycle ends instead of exhausting the stack.
std::optional<Value> formOf(const Object& object, int nesting) {
  if (const Value* value = object.value()) return *value;
  if (nesting >= kMaxRecordNesting) return std::nullopt;
  if (const RecordObject* record = object.record()) {
    if (!record->record || record->type == nullptr) return std::nullopt;
    return Value(formOfRecord(*record->type, record->record.get(), nesting + 1));
  }
  Array array;
  array.reserve(object.list()->size());
  for (const Object& element : *object.list()) {
    if (std::optional<Value> value = formOf(element, nesting + 1)) array.push_back(std::move(*value));
  }
  return Value(std::move(array));
}

// The record type a class-in-array entry names: the list's own element type when the names agree
// (always worked out by then), else whichever worked-out type has that name.
const RecordType* elementClass(const Property& property, const std::string& className) {
  if (property.recordType != nullptr) {
    const RecordType& own = property.recordType();
    if (own.name() == className) return &own;
  }
  return recordTypeNamed(className);
}

ObjectClasses acceptedClasses(const RecordType& type, const Property& property) {
  ObjectClasses classes{ValueClass::Number};
  switch (property.kind) {
    case PropertyKind::Text: classes.add(ValueClass::Text); break;
    case PropertyKind::List: classes.add(ValueClass::List); break;
    case PropertyKind::Record: classes.add(property.recordType()); break;
    default: break;
  }
  auto entry = type.classInArray().find(property.name);
  if (entry != type.classInArray().end()) {
    if (const RecordType* element = elementClass(property, entry->second)) classes.add(*element);
  }
  return classes;
}

}  // namespace

Dictionary mj_keyValues(const RecordType& type, const void* record) {
  return formOfRecord(type, record, 1);
}

std::optional<Value> mj_keyValues(const Object& object) {
  return formOf(object, 0);
}

std::optional<Value> mj_JSONObject(const Object& object) {
  if (const Value* value = object.value()) {
    if (const std::string* text = value->string()) return parseJson(*text);
    if (const Bytes* data = value->get<Bytes>()) {
      return parseJson(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
    }
  }
  return mj_keyValues(object);
}

Array mj_keyValuesArrayWithObjectArray(const ObjectList& list) {
  std::optional<Value> form = formOf(Object(list), 0);
  return form ? std::move(*form->get<Array>()) : Array{};
}

void mj_encode(const RecordType& type, const void* record, KeyedEncoder& coder) {
  for (const Property& property : type.properties()) {
    std::optional<Object> boxed = property.read(record);
    if (!boxed) continue;
    if (!coder.encodeObject(*boxed, property.name)) return;
  }
}

void mj_decode(const RecordType& type, void* record, KeyedDecoder& coder) {
  for (const Property& property : type.properties()) {
    const ObjectClasses classes = acceptedClasses(type, property);
    std::optional<Object> object = coder.decodeObjectOfClasses(classes, property.name);
    if (!object && !coder.failed()) object = coder.decodeObjectOfClasses(classes, "_" + property.name);
    if (coder.failed()) return;
    if (!object) continue;  // under neither key: left as it was
    if (!property.write(record, *object)) {
      coder.failWithError("the value under \"" + property.name + "\" does not fit the " +
                          propertyKindName(property.kind) + " property of " + type.name());
      return;
    }
  }
}

}  // namespace trellis
