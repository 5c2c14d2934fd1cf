// Keyed coders and their on-disk form: a KeyedArchiver writes objects (plain values, records,
// lists) under text keys into a typed JSON document, and a KeyedUnarchiver reads such a document
// back, in this process or another. Records encode and decode themselves through their property
// tables (mj_encode / mj_decode, model/mapping.h). A coder and the coders it hands to records are
// used by one thread at a time; separate coders may run on separate threads.
//
// The document (UTF-8 JSON; the archiver writes no byte after the closing brace, the unarchiver
// allows white space around it):
//
//   { "format": "trellis-keyed-archive", "version": 1, "top": { KEY: NODE, ... } }
//
//   NODE := { "null": null } | { "bool": true|false }
//         | { "int32": N } | { "int64": N } | { "uint32": N } | { "uint64": N }   whole numbers in range
//         | { "float": X } | { "double": X } | { "date": X }    X: a number written with a fraction
//               or exponent ("2.0"), or the text "NaN", "Infinity" or "-Infinity"; a float's X is
//               the exact value of that float
//         | { "string": "text" } | { "bytes": "lower-case hex, two digits a byte" }
//         | { "array": [ NODE, ... ] } | { "dictionary": { KEY: NODE, ... } }
//         | { "object": { "class": "Name", "fields": { KEY: NODE, ... } } }
//
// Each node is an object with exactly one member; documents, "object" payloads have exactly the
// members shown. A dictionary holds plain values only (no "object" below it). Nesting is limited
// to kMaxArchiveDepth JSON levels: the archiver refuses to write deeper and the unarchiver refuses
// to read deeper, so whatever one writes the other reads.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/mapping.h"
#include "model/record.h"
#include "model/value.h"

namespace trellis {

inline constexpr std::string_view kArchiveFormat = "trellis-keyed-archive";
inline constexpr int kArchiveVersion = 1;
// The key a whole archived object graph is usually kept under.
inline constexpr std::string_view kArchiveRootKey = "root";
// JSON nesting levels of a document, counted as Value::depth counts. A record takes three levels
// below the key holding it and a list two, so about thirty records deep fit.
inline constexpr int kMaxArchiveDepth = 100;

// The classes of plain values a decode may accept. Booleans are numbers.
enum class ValueClass : std::uint8_t { Null, Number, Text, Bytes, Date, List, Dictionary };

// The set of classes a decode accepts, applied to the decoded object and to everything inside it
// (the elements of a list, the values of a dictionary). Record types are matched by class name.
class ObjectClasses {
 public:
  ObjectClasses() = default;
  ObjectClasses(std::initializer_list<ValueClass> values) {
    for (ValueClass c : values) add(c);
  }
  ObjectClasses& add(ValueClass c) {
    values_ |= 1u << static_cast<unsigned>(c);
    return *this;
  }
  ObjectClasses& add(const RecordType& type);
  bool allows(ValueClass c) const { return (values_ & (1u << static_cast<unsigned>(c))) != 0; }
  // The accepted record type of that class name, or nullptr.
  const RecordType* record(std::string_view className) const;

 private:
  unsigned values_ = 0;
  std::vector<const RecordType*> records_;
};

namespace detail {
struct EncoderState;
struct DecoderState;
struct ArchiveFields;
struct ArchiveNode;
}  // namespace detail

// A keyed container being written: the archive's top level, or one record's fields while that
// record encodes itself. Belongs to the KeyedArchiver that made it.
class KeyedEncoder {
 public:
  KeyedEncoder(const KeyedEncoder&) = delete;
  KeyedEncoder& operator=(const KeyedEncoder&) = delete;

  // Writes `object` under `key`, replacing what the key held. A null record writes nothing and
  // succeeds; a list leaves its null records out. Fails, with the archive failed as a whole, for a
  // record whose type is not archivable or nesting past kMaxArchiveDepth; after a failure every
  // encode fails.
  bool encodeObject(const Object& object, std::string_view key);
  template <Record T>
  bool encodeObject(const T& record, std::string_view key) {
    // Borrowed, not owned: the object does not outlive this call.
    return encodeObject(Object(RecordObject{&recordTypeOf<T>(), std::shared_ptr<const void>(std::shared_ptr<const void>(), &record)}),
                        key);
  }

  bool failed() const;
  // Why the archive failed; empty while it has not.
  const std::string& error() const;

 protected:
  KeyedEncoder(Dictionary* fields, detail::EncoderState* state, int level)
      : fields_(fields), state_(state), level_(level) {}

 private:
  std::optional<Value> encodeNode(const Object& object, int level);
  std::optional<Value> encodeValue(const Value& value, int level);
  bool fail(std::string message);

  Dictionary* fields_;
  detail::EncoderState* state_;
  int level_;  // JSON level of `fields_`: 2 for the top level
};

// Writes one document. Not copyable; encode, then take the text with finishEncoding.
class KeyedArchiver : public KeyedEncoder {
 public:
  KeyedArchiver();
  ~KeyedArchiver();

  // The document holding everything encoded so far, or nothing when an encode failed or a text is
  // not valid UTF-8 (JSON cannot carry it). May be called again after more encodes.
  std::optional<std::string> finishEncoding();

 private:
  explicit KeyedArchiver(std::unique_ptr<detail::EncoderState> state);
  std::unique_ptr<detail::EncoderState> owned_;
};

// A keyed container being read: the archive's top level, or one record's fields while that record
// decodes itself. Belongs to the KeyedUnarchiver that made it.
class KeyedDecoder {
 public:
  KeyedDecoder(const KeyedDecoder&) = delete;
  KeyedDecoder& operator=(const KeyedDecoder&) = delete;

  // The object under `key`, made anew (records through their tables: a plain new record, then
  // mj_decode). Nothing when the key is missing. When the object, or anything inside it, is of a
  // class `classes` does not accept, or a record inside it fails to decode, the whole archive
  // fails: this and every later decode give nothing.
  std::optional<Object> decodeObjectOfClasses(const ObjectClasses& classes, std::string_view key);
  // The record of type T under `key`; nullptr when missing, of another class, or failed.
  template <Record T>
  std::shared_ptr<T> decodeObjectOfClass(std::string_view key) {
    std::optional<Object> object = decodeObjectOfClasses(ObjectClasses().add(recordTypeOf<T>()), key);
    if (!object || object->record() == nullptr) return nullptr;
    // Made by this decode as a T (the class matched), so mutable.
    return std::const_pointer_cast<T>(std::static_pointer_cast<const T>(object->record()->record));
  }

  bool containsValueForKey(std::string_view key) const;

  // Fails the whole archive (for a record that finds a value it cannot take).
  void failWithError(std::string message);
  bool failed() const;
  // Why the archive failed; empty while it has not.
  const std::string& error() const;

 protected:
  KeyedDecoder(const detail::ArchiveFields* fields, detail::DecoderState* state) : fields_(fields), state_(state) {}

 private:
  std::optional<Object> decodeNode(const detail::ArchiveNode& node, const ObjectClasses& classes);

  const detail::ArchiveFields* fields_;
  detail::DecoderState* state_;
};

// Reads one document, checked in full before anything is decoded.
class KeyedUnarchiver : public KeyedDecoder {
 public:
  // Nothing, and the reason in `error` when given, when `document` is not exactly a document of
  // the form above: not JSON, truncated, a node of unknown tag or wrong payload, a number out of
  // its kind's range, too deep.
  static std::unique_ptr<KeyedUnarchiver> forReading(std::string_view document, std::string* error = nullptr);
  ~KeyedUnarchiver();

 private:
  explicit KeyedUnarchiver(std::unique_ptr<detail::DecoderState> state);
  std::unique_ptr<detail::DecoderState> owned_;
};

// The document of one record kept under kArchiveRootKey; nothing when it cannot be archived.
template <Record T>
std::optional<std::string> archivedDocument(const T& root) {
  KeyedArchiver archiver;
  if (!archiver.encodeObject(root, kArchiveRootKey)) return std::nullopt;
  return archiver.finishEncoding();
}

// The record of type T kept under kArchiveRootKey of `document`; nullptr (and the reason in
// `error` when given) when the document is malformed, holds no such record, or it fails to decode.
template <Record T>
std::shared_ptr<T> unarchivedRecord(std::string_view document, std::string* error = nullptr) {
  std::unique_ptr<KeyedUnarchiver> unarchiver = KeyedUnarchiver::forReading(document, error);
  if (!unarchiver) return nullptr;
  std::shared_ptr<T> record = unarchiver->template decodeObjectOfClass<T>(kArchiveRootKey);
  if (!record && error != nullptr) {
    *error = unarchiver->failed() ? unarchiver->error() : "no record under the root key";
  }
  return record;
}

}  // namespace trellis
