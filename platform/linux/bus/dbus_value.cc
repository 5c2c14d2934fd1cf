// User information on the bus: a Dictionary written as `a{sv}`, read back from whatever a sender
// put there, and measured before it is posted. The functions keep no state; a message belongs to
// one thread at a time.
#include "platform/linux/bus/dbus_value.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace trellis::lnx {
namespace {

// ---------------------------------------------------------------------------------------------
// Writing

// The variant signature each kind travels under. Null exists on the wire only as an array
// element, where it is an empty `av`.
const char* signatureOf(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Null: return "av";
    case Value::Kind::Bool: return "b";
    case Value::Kind::Int32: return "i";
    case Value::Kind::Int64: return "x";
    case Value::Kind::UInt32: return "u";
    case Value::Kind::UInt64: return "t";
    case Value::Kind::Float: return "d";
    case Value::Kind::Double: return "d";
    case Value::Kind::String: return "s";
    case Value::Kind::Bytes: return "ay";
    case Value::Kind::Date: return "d";
    case Value::Kind::Array: return "av";
    case Value::Kind::Dictionary: return "a{sv}";
  }
  return "av";
}

// The size and container nesting of a dictionary laid out as a{sv} from an 8-aligned offset.
struct WireShape {
  std::size_t bytes = 0;
  int nesting = 0;
};

// Walks `info` in wire order (iteratively: a Value may nest arbitrarily deep) and follows the
// marshalling rules: every basic type aligned to its size, an array's length aligned to 4 and its
// elements to their own alignment, dict entries to 8, variants carrying their signature in front.
// Nothing follows a container's elements on the wire, so a pre-order walk sees every offset.
WireShape measure(const Dictionary& info) {
  struct Item {
    const Value* value;
    const std::string* key;  // set for a dict entry, which opens `e` as well as `v`
    int open;                // containers open around the entry or element
  };
  WireShape shape;
  std::size_t at = 0;
  auto align = [&at](std::size_t to) { at = (at + to - 1) / to * to; };
  auto string = [&](std::size_t length) {
    align(4);
    at += 4 + length + 1;
  };

  // The walk's stack keeps its buffer between calls (each thread its own): a post measures its
  // user information every time, and allocates nothing for that once the buffer fits.
  thread_local std::vector<Item> kept;
  std::vector<Item>& pending = kept;
  pending.clear();
  auto pushEntries = [&pending](const Dictionary& dictionary, int open) {
    for (auto it = dictionary.rbegin(); it != dictionary.rend(); ++it) {
      if (!it->second.isNull()) pending.push_back({&it->second, &it->first, open});
    }
  };
  auto pushElements = [&pending](const Array& array, int open) {
    for (auto it = array.rbegin(); it != array.rend(); ++it) pending.push_back({&*it, nullptr, open});
  };

  // The top-level `a{sv}`: length, padding to the first entry.
  align(4);
  at += 4;
  align(8);
  shape.nesting = 1;
  pushEntries(info, 1);

  while (!pending.empty()) {
    const Item item = pending.back();
    pending.pop_back();
    int open = item.open;
    if (item.key != nullptr) {
      align(8);
      string(item.key->size());
      ++open;  // e
    }
    const char* signature = signatureOf(*item.value);
    at += 1 + std::strlen(signature) + 1;
    ++open;  // v
    shape.nesting = std::max(shape.nesting, open);

    const Value& value = *item.value;
    switch (value.kind()) {
      case Value::Kind::Bool:
      case Value::Kind::Int32:
      case Value::Kind::UInt32:
        align(4);
        at += 4;
        break;
      case Value::Kind::Int64:
      case Value::Kind::UInt64:
      case Value::Kind::Float:
      case Value::Kind::Double:
      case Value::Kind::Date:
        align(8);
        at += 8;
        break;
      case Value::Kind::String:
        string(value.string()->size());
        break;
      case Value::Kind::Bytes:
        align(4);
        at += 4 + value.get<Bytes>()->size();
        shape.nesting = std::max(shape.nesting, open + 1);
        break;
      case Value::Kind::Null:
        align(4);
        at += 4;
        shape.nesting = std::max(shape.nesting, open + 1);
        break;
      case Value::Kind::Array:
        align(4);
        at += 4;
        shape.nesting = std::max(shape.nesting, open + 1);
        pushElements(*value.array(), open + 1);
        break;
      case Value::Kind::Dictionary:
        align(4);
        at += 4;
        align(8);
        shape.nesting = std::max(shape.nesting, open + 1);
        pushEntries(*value.dictionary(), open + 1);
        break;
    }
  }
  shape.bytes = at;
  return shape;
}

// A bus daemon drops the connection of a client whose message nests more containers than this
// (arrays, structs, dict entries and variants together; dbus-daemon 1.14 enforces 64).
constexpr int kMaxWireNesting = 64;

int appendText(sd_bus_message* message, const std::string& text) {
  // D-Bus text cannot hold NUL; refuse it rather than send a shortened text.
  if (text.find('\0') != std::string::npos) return -EINVAL;
  return sd_bus_message_append_basic(message, SD_BUS_TYPE_STRING, text.c_str());
}

int appendValue(sd_bus_message* message, const Value& value);

int appendVariant(sd_bus_message* message, const Value& value) {
  int r = sd_bus_message_open_container(message, SD_BUS_TYPE_VARIANT, signatureOf(value));
  if (r < 0) return r;
  r = appendValue(message, value);
  if (r < 0) return r;
  return sd_bus_message_close_container(message);
}

int appendEntries(sd_bus_message* message, const Dictionary& dictionary) {
  int r = sd_bus_message_open_container(message, SD_BUS_TYPE_ARRAY, "{sv}");
  if (r < 0) return r;
  for (const auto& [key, value] : dictionary) {
    if (value.isNull()) continue;
    r = sd_bus_message_open_container(message, SD_BUS_TYPE_DICT_ENTRY, "sv");
    if (r >= 0) r = appendText(message, key);
    if (r >= 0) r = appendVariant(message, value);
    if (r >= 0) r = sd_bus_message_close_container(message);
    if (r < 0) return r;
  }
  return sd_bus_message_close_container(message);
}

// Recursion here is bounded: appendDictionary checks the nesting before it writes anything.
int appendValue(sd_bus_message* message, const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Null: {
      int r = sd_bus_message_open_container(message, SD_BUS_TYPE_ARRAY, "v");
      return r < 0 ? r : sd_bus_message_close_container(message);
    }
    case Value::Kind::Bool: {
      int flag = *value.get<bool>() ? 1 : 0;  // sd-bus reads a D-Bus boolean from an int
      return sd_bus_message_append_basic(message, SD_BUS_TYPE_BOOLEAN, &flag);
    }
    case Value::Kind::Int32:
      return sd_bus_message_append_basic(message, SD_BUS_TYPE_INT32, value.get<std::int32_t>());
    case Value::Kind::Int64:
      return sd_bus_message_append_basic(message, SD_BUS_TYPE_INT64, value.get<std::int64_t>());
    case Value::Kind::UInt32:
      return sd_bus_message_append_basic(message, SD_BUS_TYPE_UINT32, value.get<std::uint32_t>());
    case Value::Kind::UInt64:
      return sd_bus_message_append_basic(message, SD_BUS_TYPE_UINT64, value.get<std::uint64_t>());
    case Value::Kind::Float: {
      double number = *value.get<float>();
      return sd_bus_message_append_basic(message, SD_BUS_TYPE_DOUBLE, &number);
    }
    case Value::Kind::Double:
      return sd_bus_message_append_basic(message, SD_BUS_TYPE_DOUBLE, value.get<double>());
    case Value::Kind::Date: {
      double seconds = value.get<Date>()->secondsSince1970;
      return sd_bus_message_append_basic(message, SD_BUS_TYPE_DOUBLE, &seconds);
    }
    case Value::Kind::String:
      return appendText(message, *value.string());
    case Value::Kind::Bytes: {
      const Bytes& bytes = *value.get<Bytes>();
      return sd_bus_message_append_array(message, SD_BUS_TYPE_BYTE, bytes.data(), bytes.size());
    }
    case Value::Kind::Array: {
      int r = sd_bus_message_open_container(message, SD_BUS_TYPE_ARRAY, "v");
      if (r < 0) return r;
      for (const Value& element : *value.array()) {
        r = appendVariant(message, element);
        if (r < 0) return r;
      }
      return sd_bus_message_close_container(message);
    }
    case Value::Kind::Dictionary:
      return appendEntries(message, *value.dictionary());
  }
  return -EINVAL;
}

// ---------------------------------------------------------------------------------------------
// Reading

// sd-bus refuses to enter more containers than this (its BUS_CONTAINER_DEPTH); the reader stops
// at the same point, which bounds its recursion whatever depth the caller allows.
constexpr int kMaxReadNesting = 128;

// Reads one argument leniently. Every read function consumes exactly one complete item, so a
// container is always left through its end. Once something is nested too deep, the rest of the
// argument is skipped instead of read, and the whole result is thrown away by the caller.
class Reader {
 public:
  Reader(sd_bus_message* message, int maxDepth) : message_(message), maxDepth_(maxDepth) {}

  bool tooDeep() const { return tooDeep_; }

  // Reads the next item as a value inside `level` enclosing arrays or dictionaries. Returns 1
  // with `out` set, 0 when the item was skipped (a file descriptor, an unknown type, or anything
  // after the depth limit was hit), or a negative errno when the message cannot be read.
  int readItem(int level, std::optional<Value>& out) {
    out.reset();
    if (tooDeep_) return skipItem();
    char type = 0;
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(message_, &type, &contents);
    if (r < 0) return r;
    if (r == 0) return -EBADMSG;  // callers ask only when an item is there
    switch (type) {
      case SD_BUS_TYPE_VARIANT: return readVariant(level, contents, out);
      case SD_BUS_TYPE_ARRAY: return readArray(level, contents, out);
      case SD_BUS_TYPE_STRUCT: return readStruct(level, contents, out);
      case SD_BUS_TYPE_UNIX_FD: return skipItem();
      default: return readBasic(type, out);
    }
  }

 private:
  int skipItem() {
    int r = sd_bus_message_skip(message_, nullptr);
    return r < 0 ? r : 0;
  }

  // Enters a container unless that would nest deeper than allowed. `level` is the depth of the
  // value the container becomes (0 for a variant, which is unwrapped).
  int enter(char type, const char* contents, int level) {
    if (level > maxDepth_ || open_ >= kMaxReadNesting) {
      tooDeep_ = true;
      int r = skipItem();
      return r < 0 ? r : 0;
    }
    int r = sd_bus_message_enter_container(message_, type, contents);
    if (r <= 0) return r < 0 ? r : -EBADMSG;
    ++open_;
    return 1;
  }

  int leave() {
    --open_;
    int r = sd_bus_message_exit_container(message_);
    return r < 0 ? r : 1;
  }

  // True while the entered container has another item; negative on a read error.
  int more() { return sd_bus_message_peek_type(message_, nullptr, nullptr); }

  int readBasic(char type, std::optional<Value>& out) {
    union {
      std::uint8_t byte;
      int boolean;
      std::int16_t int16;
      std::uint16_t uint16;
      std::int32_t int32;
      std::uint32_t uint32;
      std::int64_t int64;
      std::uint64_t uint64;
      double number;
      const char* text;
    } data{};
    switch (type) {
      case SD_BUS_TYPE_BYTE: case SD_BUS_TYPE_BOOLEAN: case SD_BUS_TYPE_INT16:
      case SD_BUS_TYPE_UINT16: case SD_BUS_TYPE_INT32: case SD_BUS_TYPE_UINT32:
      case SD_BUS_TYPE_INT64: case SD_BUS_TYPE_UINT64: case SD_BUS_TYPE_DOUBLE:
      case SD_BUS_TYPE_STRING: case SD_BUS_TYPE_OBJECT_PATH: case SD_BUS_TYPE_SIGNATURE:
        break;
      default:
        return skipItem();
    }
    int r = sd_bus_message_read_basic(message_, type, &data);
    if (r <= 0) return r < 0 ? r : -EBADMSG;
    switch (type) {
      case SD_BUS_TYPE_BYTE: out = Value(std::uint32_t{data.byte}); break;
      case SD_BUS_TYPE_BOOLEAN: out = Value(data.boolean != 0); break;
      case SD_BUS_TYPE_INT16: out = Value(std::int32_t{data.int16}); break;
      case SD_BUS_TYPE_UINT16: out = Value(std::uint32_t{data.uint16}); break;
      case SD_BUS_TYPE_INT32: out = Value(data.int32); break;
      case SD_BUS_TYPE_UINT32: out = Value(data.uint32); break;
      case SD_BUS_TYPE_INT64: out = Value(data.int64); break;
      case SD_BUS_TYPE_UINT64: out = Value(data.uint64); break;
      case SD_BUS_TYPE_DOUBLE: out = Value(data.number); break;
      default: out = Value(data.text != nullptr ? data.text : ""); break;
    }
    return 1;
  }

  int readVariant(int level, const char* contents, std::optional<Value>& out) {
    int r = enter(SD_BUS_TYPE_VARIANT, contents, 0);
    if (r <= 0) return r;
    r = readItem(level, out);
    if (r < 0) return r;
    int done = leave();
    return done < 0 ? done : r;
  }

  int readStruct(int level, const char* contents, std::optional<Value>& out) {
    int r = enter(SD_BUS_TYPE_STRUCT, contents, level + 1);
    if (r <= 0) return r;
    Array fields;
    while ((r = more()) > 0) {
      std::optional<Value> field;
      r = readItem(level + 1, field);
      if (r < 0) return r;
      if (field) fields.push_back(std::move(*field));
    }
    if (r < 0) return r;
    r = leave();
    if (r < 0) return r;
    out = Value(std::move(fields));
    return 1;
  }

  int readBytes(std::optional<Value>& out) {
    if (open_ >= kMaxReadNesting) {
      tooDeep_ = true;
      return skipItem();
    }
    const void* data = nullptr;
    std::size_t size = 0;
    int r = sd_bus_message_read_array(message_, SD_BUS_TYPE_BYTE, &data, &size);
    if (r > 0) {
      const auto* begin = static_cast<const std::uint8_t*>(data);
      out = Value(Bytes(begin, begin + size));
      return 1;
    }
    // sd-bus hands out arrays in place only in the host's byte order; a sender of the other
    // order gets its bytes read one by one.
    if (r != -EOPNOTSUPP) return r < 0 ? r : -EBADMSG;
    r = enter(SD_BUS_TYPE_ARRAY, "y", 0);
    if (r <= 0) return r;
    Bytes bytes;
    while ((r = more()) > 0) {
      std::uint8_t byte = 0;
      r = sd_bus_message_read_basic(message_, SD_BUS_TYPE_BYTE, &byte);
      if (r <= 0) return r < 0 ? r : -EBADMSG;
      bytes.push_back(byte);
    }
    if (r < 0) return r;
    r = leave();
    if (r < 0) return r;
    out = Value(std::move(bytes));
    return 1;
  }

  int readArray(int level, const char* contents, std::optional<Value>& out) {
    if (std::strcmp(contents, "y") == 0) return readBytes(out);
    if (contents[0] == SD_BUS_TYPE_DICT_ENTRY_BEGIN) return readEntries(level, contents, out);
    int r = enter(SD_BUS_TYPE_ARRAY, contents, level + 1);
    if (r <= 0) return r;
    Array elements;
    while ((r = more()) > 0) {
      std::optional<Value> element;
      r = readItem(level + 1, element);
      if (r < 0) return r;
      if (element) elements.push_back(std::move(*element));
    }
    if (r < 0) return r;
    r = leave();
    if (r < 0) return r;
    out = Value(std::move(elements));
    return 1;
  }

  // A key as text: text keys as they are, numbers and booleans written out in decimal (a double
  // in the shortest form that reads back the same). File descriptors give no key.
  static std::optional<std::string> keyText(const std::optional<Value>& key) {
    if (!key) return std::nullopt;
    if (const std::string* text = key->string()) return *text;
    if (const bool* flag = key->get<bool>()) return *flag ? "true" : "false";
    if (const double* number = key->get<double>()) {
      char buffer[32];
      auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, *number);
      if (error != std::errc()) return std::nullopt;
      return std::string(buffer, end);
    }
    return std::visit(
        [](const auto& v) -> std::optional<std::string> {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_integral_v<T>) return std::to_string(v);
          else return std::nullopt;
        },
        key->storage());
  }

  // `contents` is "{KV}" for any basic key type K and any type V.
  int readEntries(int level, const char* contents, std::optional<Value>& out) {
    int r = enter(SD_BUS_TYPE_ARRAY, contents, level + 1);
    if (r <= 0) return r;
    Dictionary entries;
    char type = 0;
    const char* entry = nullptr;
    while ((r = sd_bus_message_peek_type(message_, &type, &entry)) > 0) {
      if (type != SD_BUS_TYPE_DICT_ENTRY) return -EBADMSG;
      r = enter(SD_BUS_TYPE_DICT_ENTRY, entry, 0);
      if (r < 0) return r;
      if (r == 0) continue;  // too deep: skipped
      std::optional<Value> key;
      std::optional<Value> value;
      r = readItem(level + 1, key);
      if (r >= 0) r = readItem(level + 1, value);
      if (r < 0) return r;
      r = leave();
      if (r < 0) return r;
      std::optional<std::string> name = keyText(key);
      // A key sent twice keeps its last value.
      if (name && value) entries.insert_or_assign(std::move(*name), std::move(*value));
    }
    if (r < 0) return r;
    r = leave();
    if (r < 0) return r;
    out = Value(std::move(entries));
    return 1;
  }

  sd_bus_message* message_;
  int maxDepth_;
  int open_ = 0;
  bool tooDeep_ = false;
};

}  // namespace

int appendDictionary(sd_bus_message* message, const Dictionary& info) {
  if (measure(info).nesting > kMaxWireNesting) return -ELOOP;
  return appendEntries(message, info);
}

std::optional<Dictionary> readDictionary(sd_bus_message* message, int maxDepth) {
  char type = 0;
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(message, &type, &contents) <= 0) return std::nullopt;
  if (type != SD_BUS_TYPE_ARRAY || contents == nullptr || std::strcmp(contents, "{sv}") != 0) {
    // Not user information. If sd-bus cannot skip it either, nothing after it is readable.
    (void)sd_bus_message_skip(message, nullptr);
    return std::nullopt;
  }
  Reader reader(message, maxDepth);
  std::optional<Value> value;
  int r = reader.readItem(0, value);
  if (r <= 0 || reader.tooDeep() || !value || value->dictionary() == nullptr) return std::nullopt;
  return std::move(*value->get<Dictionary>());
}

std::size_t encodedSize(const Dictionary& info) {
  // measure() starts 8-aligned; the argument may start anywhere after the preceding ones, which
  // costs at most 3 more bytes of padding before its length (the entries start 8-aligned either
  // way, so their layout does not depend on where the argument starts).
  return measure(info).bytes + 3;
}

}  // namespace trellis::lnx
