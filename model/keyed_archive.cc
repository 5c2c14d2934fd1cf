// Keyed archives as typed JSON documents. A coder and the coders nested in it share one state and
// are used by one thread at a time.
#include "model/keyed_archive.h"

#include <cmath>
#include <exception>
#include <limits>
#include <map>
#include <utility>
#include <variant>

#include "model/value_json.h"

namespace trellis {
namespace detail {

struct EncoderState {
  Dictionary top;
  bool failed = false;
  std::string error;
};

struct ArchivedRecord;

// A checked node of a document being read. Plain values (scalars, and dictionaries with all they
// hold) are Values; a list outside any dictionary stays a list of nodes, as it may hold records.
struct ArchiveNode {
  std::variant<Value, std::vector<ArchiveNode>, std::shared_ptr<const ArchivedRecord>> content;
};

struct ArchiveFields {
  std::map<std::string, ArchiveNode, std::less<>> entries;
};

struct ArchivedRecord {
  std::string className;
  ArchiveFields fields;
};

struct DecoderState {
  ArchiveFields top;
  bool failed = false;
  std::string error;
};

}  // namespace detail

namespace {

using detail::ArchivedRecord;
using detail::ArchiveFields;
using detail::ArchiveNode;

constexpr std::string_view kNaN = "NaN";
constexpr std::string_view kInfinity = "Infinity";
constexpr std::string_view kMinusInfinity = "-Infinity";

Value tagged(std::string_view tag, Value payload) {
  Dictionary node;
  node.emplace(std::string(tag), std::move(payload));
  return Value(std::move(node));
}

// JSON has no numbers that are not finite: those are written as text.
Value realPayload(double number) {
  if (std::isnan(number)) return Value(kNaN);
  if (std::isinf(number)) return Value(number > 0 ? kInfinity : kMinusInfinity);
  return Value(number);
}

std::string hexText(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0f]);
  }
  return text;
}

std::string tooDeep() {
  return "nested deeper than " + std::to_string(kMaxArchiveDepth) + " levels";
}

// Reads a document's nodes; the first problem found is kept in `error`.
class NodeReader {
 public:
  std::string error;

  // `plain`: inside a dictionary, where only plain values may be.
  std::optional<ArchiveNode> node(const Value& value, bool plain) {
    const Dictionary* members = value.dictionary();
    if (members == nullptr || members->size() != 1) return bad("a node is not an object with exactly one member");
    const auto& [tag, payload] = *members->begin();
    if (tag == "null") {
      if (!payload.isNull()) return bad("\"null\" holds something");
      return plainNode(Value());
    }
    if (tag == "bool") {
      if (payload.get<bool>() == nullptr) return bad("\"bool\" does not hold true or false");
      return plainNode(payload);
    }
    if (tag == "int32" || tag == "int64" || tag == "uint32" || tag == "uint64") return integer(tag, payload);
    if (tag == "float") {
      std::optional<double> number = real(tag, payload);
      if (!number) return std::nullopt;
      const bool exact = !std::isfinite(*number) ||
                         (std::fabs(*number) <= std::numeric_limits<float>::max() &&
                          static_cast<double>(static_cast<float>(*number)) == *number);
      if (!exact) return bad("\"float\" holds a number that is not a float");
      return plainNode(Value(static_cast<float>(*number)));
    }
    if (tag == "double") {
      std::optional<double> number = real(tag, payload);
      if (!number) return std::nullopt;
      return plainNode(Value(*number));
    }
    if (tag == "date") {
      std::optional<double> number = real(tag, payload);
      if (!number) return std::nullopt;
      return plainNode(Value(Date{*number}));
    }
    if (tag == "string") {
      if (payload.string() == nullptr) return bad("\"string\" does not hold text");
      return plainNode(payload);
    }
    if (tag == "bytes") return bytes(payload);
    if (tag == "array") return array(payload, plain);
    if (tag == "dictionary") return dictionary(payload);
    if (tag == "object") {
      if (plain) return bad("an \"object\" inside a dictionary");
      return object(payload);
    }
    return bad("unknown tag \"" + tag + "\"");
  }

  // The nodes of a keyed container: the top level or a record's fields.
  std::optional<ArchiveFields> fields(const Value& value) {
    const Dictionary* members = value.dictionary();
    if (members == nullptr) return bad("a keyed container is not an object");
    ArchiveFields result;
    for (const auto& [key, member] : *members) {
      std::optional<ArchiveNode> parsed = node(member, /*plain=*/false);
      if (!parsed) return std::nullopt;
      result.entries.emplace(key, std::move(*parsed));
    }
    return result;
  }

 private:
  std::nullopt_t bad(std::string message) {
    if (error.empty()) error = std::move(message);
    return std::nullopt;
  }

  static ArchiveNode plainNode(Value value) { return ArchiveNode{std::move(value)}; }

  std::optional<ArchiveNode> integer(const std::string& tag, const Value& payload) {
    // Only JSON integers: parsing makes them int32, int64 or (past int64) uint64.
    const Value::Kind kind = payload.kind();
    if (kind != Value::Kind::Int32 && kind != Value::Kind::Int64 && kind != Value::Kind::UInt64) {
      return bad("\"" + tag + "\" does not hold a whole number");
    }
    const std::optional<std::int64_t> s = payload.toInt64();
    const std::uint64_t* u = payload.get<std::uint64_t>();
    if (tag == "int32") {
      if (s && std::in_range<std::int32_t>(*s)) return plainNode(Value(static_cast<std::int32_t>(*s)));
    } else if (tag == "int64") {
      if (s) return plainNode(Value(*s));
    } else if (tag == "uint32") {
      if (s && std::in_range<std::uint32_t>(*s)) return plainNode(Value(static_cast<std::uint32_t>(*s)));
    } else {
      if (u != nullptr) return plainNode(Value(*u));
      if (s && *s >= 0) return plainNode(Value(static_cast<std::uint64_t>(*s)));
    }
    return bad("\"" + tag + "\" holds a number out of its range");
  }

  std::optional<double> real(const std::string& tag, const Value& payload) {
    if (const double* number = payload.get<double>()) return *number;
    if (const std::string* text = payload.string()) {
      if (*text == kNaN) return std::numeric_limits<double>::quiet_NaN();
      if (*text == kInfinity) return std::numeric_limits<double>::infinity();
      if (*text == kMinusInfinity) return -std::numeric_limits<double>::infinity();
    }
    bad("\"" + tag + "\" does not hold a number with a fraction or exponent, \"NaN\" or an infinity");
    return std::nullopt;
  }

  std::optional<ArchiveNode> bytes(const Value& payload) {
    const std::string* text = payload.string();
    if (text == nullptr || text->size() % 2 != 0) return bad("\"bytes\" does not hold an even number of hex digits");
    auto digit = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      return -1;
    };
    Bytes data;
    data.reserve(text->size() / 2);
    for (std::size_t i = 0; i < text->size(); i += 2) {
      const int high = digit((*text)[i]);
      const int low = digit((*text)[i + 1]);
      if (high < 0 || low < 0) return bad("\"bytes\" holds a character that is not a lower-case hex digit");
      data.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    return plainNode(Value(std::move(data)));
  }

  std::optional<ArchiveNode> array(const Value& payload, bool plain) {
    const Array* elements = payload.array();
    if (elements == nullptr) return bad("\"array\" does not hold an array");
    if (plain) {
      Array values;
      values.reserve(elements->size());
      for (const Value& element : *elements) {
        std::optional<ArchiveNode> parsed = node(element, /*plain=*/true);
        if (!parsed) return std::nullopt;
        values.push_back(std::move(std::get<Value>(parsed->content)));
      }
      return plainNode(Value(std::move(values)));
    }
    std::vector<ArchiveNode> nodes;
    nodes.reserve(elements->size());
    for (const Value& element : *elements) {
      std::optional<ArchiveNode> parsed = node(element, /*plain=*/false);
      if (!parsed) return std::nullopt;
      nodes.push_back(std::move(*parsed));
    }
    return ArchiveNode{std::move(nodes)};
  }

  std::optional<ArchiveNode> dictionary(const Value& payload) {
    const Dictionary* members = payload.dictionary();
    if (members == nullptr) return bad("\"dictionary\" does not hold an object");
    Dictionary values;
    for (const auto& [key, member] : *members) {
      std::optional<ArchiveNode> parsed = node(member, /*plain=*/true);
      if (!parsed) return std::nullopt;
      values.emplace(key, std::move(std::get<Value>(parsed->content)));
    }
    return plainNode(Value(std::move(values)));
  }

  std::optional<ArchiveNode> object(const Value& payload) {
    const Dictionary* members = payload.dictionary();
    const Value* className = payload.find("class");
    const Value* fieldsValue = payload.find("fields");
    if (members == nullptr || members->size() != 2 || className == nullptr || fieldsValue == nullptr) {
      return bad("\"object\" does not hold exactly \"class\" and \"fields\"");
    }
    if (className->string() == nullptr || className->string()->empty()) return bad("an object's class is not a name");
    std::optional<ArchiveFields> parsed = fields(*fieldsValue);
    if (!parsed) return std::nullopt;
    auto record = std::make_shared<ArchivedRecord>();
    record->className = *className->string();
    record->fields = std::move(*parsed);
    return ArchiveNode{std::shared_ptr<const ArchivedRecord>(std::move(record))};
  }
};

ValueClass classOf(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Null: return ValueClass::Null;
    case Value::Kind::String: return ValueClass::Text;
    case Value::Kind::Bytes: return ValueClass::Bytes;
    case Value::Kind::Date: return ValueClass::Date;
    case Value::Kind::Array: return ValueClass::List;
    case Value::Kind::Dictionary: return ValueClass::Dictionary;
    default: return ValueClass::Number;  // booleans included
  }
}

// True when `classes` accept the value and everything inside it.
bool acceptsAll(const ObjectClasses& classes, const Value& value) {
  if (!classes.allows(classOf(value))) return false;
  if (const Array* elements = value.array()) {
    for (const Value& element : *elements) {
      if (!acceptsAll(classes, element)) return false;
    }
  } else if (const Dictionary* members = value.dictionary()) {
    for (const auto& [key, member] : *members) {
      if (!acceptsAll(classes, member)) return false;
    }
  }
  return true;
}

}  // namespace

// ---- Classes ----

ObjectClasses& ObjectClasses::add(const RecordType& type) {
  for (const RecordType* known : records_) {
    if (known == &type) return *this;
  }
  records_.push_back(&type);
  return *this;
}

const RecordType* ObjectClasses::record(std::string_view className) const {
  for (const RecordType* type : records_) {
    if (type->name() == className) return type;
  }
  return nullptr;
}

// ---- Writing ----

bool KeyedEncoder::failed() const { return state_->failed; }
const std::string& KeyedEncoder::error() const { return state_->error; }

bool KeyedEncoder::fail(std::string message) {
  if (!state_->failed) {
    state_->failed = true;
    state_->error = std::move(message);
  }
  return false;
}

bool KeyedEncoder::encodeObject(const Object& object, std::string_view key) {
  if (state_->failed) return false;
  std::optional<Value> node = encodeNode(object, level_ + 1);
  if (state_->failed) return false;
  if (node) fields_->insert_or_assign(std::string(key), std::move(*node));
  return true;
}

// The node of `object` at JSON level `level`; nothing without failing for a null record.
std::optional<Value> KeyedEncoder::encodeNode(const Object& object, int level) {
  if (const Value* value = object.value()) return encodeValue(*value, level);
  if (const RecordObject* record = object.record()) {
    if (!record->record || record->type == nullptr) return std::nullopt;
    const RecordType& type = *record->type;
    if (!type.archivable()) {
      fail("records of class " + type.name() + " cannot be archived");
      return std::nullopt;
    }
    // The node, its "object" payload and the "fields" object: three levels.
    if (level + 2 > kMaxArchiveDepth) {
      fail(tooDeep());
      return std::nullopt;
    }
    Dictionary fields;
    KeyedEncoder nested(&fields, state_, level + 2);
    mj_encode(type, record->record.get(), nested);
    if (state_->failed) return std::nullopt;
    Dictionary payload;
    payload.emplace("class", type.name());
    payload.emplace("fields", std::move(fields));
    return tagged("object", Value(std::move(payload)));
  }
  if (level + 1 > kMaxArchiveDepth) {
    fail(tooDeep());
    return std::nullopt;
  }
  Array nodes;
  nodes.reserve(object.list()->size());
  for (const Object& element : *object.list()) {
    std::optional<Value> node = encodeNode(element, level + 2);
    if (state_->failed) return std::nullopt;
    if (node) nodes.push_back(std::move(*node));
  }
  return tagged("array", Value(std::move(nodes)));
}

std::optional<Value> KeyedEncoder::encodeValue(const Value& value, int level) {
  const bool container = value.kind() == Value::Kind::Array || value.kind() == Value::Kind::Dictionary;
  if (level + (container ? 1 : 0) > kMaxArchiveDepth) {
    fail(tooDeep());
    return std::nullopt;
  }
  switch (value.kind()) {
    case Value::Kind::Null: return tagged("null", Value());
    case Value::Kind::Bool: return tagged("bool", value);
    case Value::Kind::Int32: return tagged("int32", value);
    case Value::Kind::Int64: return tagged("int64", value);
    case Value::Kind::UInt32: return tagged("uint32", value);
    case Value::Kind::UInt64: return tagged("uint64", value);
    // The float's exact value as a double: reading that double back gives the same float.
    case Value::Kind::Float: return tagged("float", realPayload(static_cast<double>(*value.get<float>())));
    case Value::Kind::Double: return tagged("double", realPayload(*value.get<double>()));
    case Value::Kind::String: return tagged("string", value);
    case Value::Kind::Bytes: return tagged("bytes", Value(hexText(*value.get<Bytes>())));
    case Value::Kind::Date: return tagged("date", realPayload(value.get<Date>()->secondsSince1970));
    case Value::Kind::Array: {
      Array nodes;
      nodes.reserve(value.array()->size());
      for (const Value& element : *value.array()) {
        std::optional<Value> node = encodeValue(element, level + 2);
        if (!node) return std::nullopt;
        nodes.push_back(std::move(*node));
      }
      return tagged("array", Value(std::move(nodes)));
    }
    case Value::Kind::Dictionary: {
      Dictionary nodes;
      for (const auto& [key, member] : *value.dictionary()) {
        std::optional<Value> node = encodeValue(member, level + 2);
        if (!node) return std::nullopt;
        nodes.emplace(key, std::move(*node));
      }
      return tagged("dictionary", Value(std::move(nodes)));
    }
  }
  return std::nullopt;
}

KeyedArchiver::KeyedArchiver() : KeyedArchiver(std::make_unique<detail::EncoderState>()) {}

// The base is made first, from the state that the member then takes over.
KeyedArchiver::KeyedArchiver(std::unique_ptr<detail::EncoderState> state)
    : KeyedEncoder(&state->top, state.get(), 2), owned_(std::move(state)) {}

KeyedArchiver::~KeyedArchiver() = default;

std::optional<std::string> KeyedArchiver::finishEncoding() {
  if (owned_->failed) return std::nullopt;
  Dictionary document;
  document.emplace("format", kArchiveFormat);
  document.emplace("version", static_cast<std::int32_t>(kArchiveVersion));
  document.emplace("top", owned_->top);
  try {
    return toJson(Value(std::move(document))).dump();
  } catch (const nlohmann::json::exception&) {
    // The only error dump reports: a text that is not valid UTF-8.
    owned_->failed = true;
    owned_->error = "a text is not valid UTF-8";
  } catch (const std::exception& e) {
    owned_->failed = true;
    owned_->error = e.what();  // out of memory
  }
  return std::nullopt;
}

// ---- Reading ----

bool KeyedDecoder::failed() const { return state_->failed; }
const std::string& KeyedDecoder::error() const { return state_->error; }

void KeyedDecoder::failWithError(std::string message) {
  if (state_->failed) return;
  state_->failed = true;
  state_->error = std::move(message);
}

bool KeyedDecoder::containsValueForKey(std::string_view key) const {
  return fields_->entries.find(key) != fields_->entries.end();
}

std::optional<Object> KeyedDecoder::decodeObjectOfClasses(const ObjectClasses& classes, std::string_view key) {
  if (state_->failed) return std::nullopt;
  auto it = fields_->entries.find(key);
  if (it == fields_->entries.end()) return std::nullopt;
  std::optional<Object> object = decodeNode(it->second, classes);
  if (state_->failed) return std::nullopt;
  return object;
}

std::optional<Object> KeyedDecoder::decodeNode(const ArchiveNode& node, const ObjectClasses& classes) {
  if (const Value* value = std::get_if<Value>(&node.content)) {
    if (!acceptsAll(classes, *value)) {
      failWithError(std::string("a ") + kindName(value->kind()) + " where it is not accepted");
      return std::nullopt;
    }
    return Object(*value);
  }
  if (const auto* nodes = std::get_if<std::vector<ArchiveNode>>(&node.content)) {
    if (!classes.allows(ValueClass::List)) {
      failWithError("a list where it is not accepted");
      return std::nullopt;
    }
    ObjectList list;
    list.reserve(nodes->size());
    for (const ArchiveNode& element : *nodes) {
      std::optional<Object> object = decodeNode(element, classes);
      if (!object) return std::nullopt;
      list.push_back(std::move(*object));
    }
    return Object(std::move(list));
  }
  const ArchivedRecord& archived = *std::get<std::shared_ptr<const ArchivedRecord>>(node.content);
  const RecordType* type = classes.record(archived.className);
  if (type == nullptr) {
    failWithError("a record of class " + archived.className + " where it is not accepted");
    return std::nullopt;
  }
  if (!type->archivable()) {
    failWithError("records of class " + type->name() + " cannot be unarchived");
    return std::nullopt;
  }
  std::shared_ptr<void> record = type->make();
  KeyedDecoder fields(&archived.fields, state_);
  mj_decode(*type, record.get(), fields);
  if (state_->failed) return std::nullopt;
  return Object(RecordObject{type, std::move(record)});
}

std::unique_ptr<KeyedUnarchiver> KeyedUnarchiver::forReading(std::string_view document, std::string* error) {
  auto refuse = [error](std::string message) -> std::unique_ptr<KeyedUnarchiver> {
    if (error != nullptr) *error = std::move(message);
    return nullptr;
  };
  std::string jsonError;
  std::optional<Value> parsed = parseJson(document, &jsonError, kMaxArchiveDepth);
  if (!parsed) return refuse("not a JSON document: " + jsonError);
  const Dictionary* members = parsed->dictionary();
  const Value* format = parsed->find("format");
  const Value* version = parsed->find("version");
  const Value* top = parsed->find("top");
  if (members == nullptr || members->size() != 3 || format == nullptr || version == nullptr || top == nullptr) {
    return refuse("not an archive: the document does not hold exactly \"format\", \"version\" and \"top\"");
  }
  if (format->string() == nullptr || *format->string() != kArchiveFormat) return refuse("not an archive of this format");
  const std::int32_t* number = version->get<std::int32_t>();
  if (number == nullptr || *number != kArchiveVersion) return refuse("an archive of another version");
  NodeReader reader;
  std::optional<ArchiveFields> fields = reader.fields(*top);
  if (!fields) return refuse(reader.error);
  auto state = std::make_unique<detail::DecoderState>();
  state->top = std::move(*fields);
  return std::unique_ptr<KeyedUnarchiver>(new KeyedUnarchiver(std::move(state)));
}

KeyedUnarchiver::KeyedUnarchiver(std::unique_ptr<detail::DecoderState> state)
    : KeyedDecoder(&state->top, state.get()), owned_(std::move(state)) {}

KeyedUnarchiver::~KeyedUnarchiver() = default;

}  // namespace trellis
