// Values as JSON text and back. Pure functions over their arguments; any thread may call them.
#include "model/value_json.h"

#include <charconv>
#include <cmath>
#include <exception>
#include <limits>
#include <new>
#include <utility>
#include <vector>

namespace trellis {
namespace {

// A float as the JSON number with the shortest text that reads back as the same float: printing
// the float's double would give 0.10000000149011612 for 0.1f.
nlohmann::json floatJson(float number) {
  if (!std::isfinite(number)) return nlohmann::json(static_cast<double>(number));  // dumps as null
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, number);
  double shortest = static_cast<double>(number);
  if (error == std::errc()) (void)std::from_chars(buffer, end, shortest);  // on failure: the double
  return nlohmann::json(shortest);
}

nlohmann::json hexJson(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0f]);
  }
  return nlohmann::json(std::move(text));
}

std::string tooDeepMessage(int maxDepth) {
  return "nested deeper than " + std::to_string(maxDepth) + " levels";
}

std::optional<Value> convert(const nlohmann::json& json, int level, int maxDepth) {
  using Type = nlohmann::json::value_t;
  switch (json.type()) {
    case Type::null:
      return Value();
    case Type::boolean:
      return Value(json.get<bool>());
    case Type::number_integer: {
      const std::int64_t number = json.get<std::int64_t>();
      if (number >= std::numeric_limits<std::int32_t>::min() && number <= std::numeric_limits<std::int32_t>::max()) {
        return Value(static_cast<std::int32_t>(number));
      }
      return Value(number);
    }
    case Type::number_unsigned: {
      // The parser reads every non-negative integer as unsigned.
      const std::uint64_t number = json.get<std::uint64_t>();
      if (number <= static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        return Value(static_cast<std::int32_t>(number));
      }
      if (number <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return Value(static_cast<std::int64_t>(number));
      }
      return Value(number);
    }
    case Type::number_float:
      return Value(json.get<double>());
    case Type::string:
      return Value(json.get_ref<const std::string&>());
    case Type::binary: {
      const auto& binary = json.get_binary();
      return Value(Bytes(binary.begin(), binary.end()));
    }
    case Type::array: {
      if (level + 1 > maxDepth) return std::nullopt;
      Array array;
      array.reserve(json.size());
      for (const nlohmann::json& element : json) {
        std::optional<Value> value = convert(element, level + 1, maxDepth);
        if (!value) return std::nullopt;
        array.push_back(std::move(*value));
      }
      return Value(std::move(array));
    }
    case Type::object: {
      if (level + 1 > maxDepth) return std::nullopt;
      Dictionary dictionary;
      for (const auto& [key, element] : json.items()) {
        std::optional<Value> value = convert(element, level + 1, maxDepth);
        if (!value) return std::nullopt;
        dictionary.insert_or_assign(key, std::move(*value));
      }
      return Value(std::move(dictionary));
    }
    case Type::discarded:
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

nlohmann::json toJson(const Value& value) {
  // Iterative: each container's slots are made before its children are filled in, and neither an
  // object's members nor a sized array's elements move afterwards.
  nlohmann::json root;
  std::vector<std::pair<const Value*, nlohmann::json*>> pending{{&value, &root}};
  while (!pending.empty()) {
    auto [from, to] = pending.back();
    pending.pop_back();
    switch (from->kind()) {
      case Value::Kind::Null: *to = nullptr; break;
      case Value::Kind::Bool: *to = *from->get<bool>(); break;
      case Value::Kind::Int32: *to = *from->get<std::int32_t>(); break;
      case Value::Kind::Int64: *to = *from->get<std::int64_t>(); break;
      case Value::Kind::UInt32: *to = *from->get<std::uint32_t>(); break;
      case Value::Kind::UInt64: *to = *from->get<std::uint64_t>(); break;
      case Value::Kind::Float: *to = floatJson(*from->get<float>()); break;
      case Value::Kind::Double: *to = *from->get<double>(); break;
      case Value::Kind::String: *to = *from->string(); break;
      case Value::Kind::Bytes: *to = hexJson(*from->get<Bytes>()); break;
      case Value::Kind::Date: *to = from->get<Date>()->secondsSince1970; break;
      case Value::Kind::Array: {
        const Array& array = *from->array();
        *to = nlohmann::json::array();
        auto& elements = to->get_ref<nlohmann::json::array_t&>();
        elements.resize(array.size());
        for (std::size_t i = 0; i < array.size(); ++i) pending.emplace_back(&array[i], &elements[i]);
        break;
      }
      case Value::Kind::Dictionary: {
        *to = nlohmann::json::object();
        auto& members = to->get_ref<nlohmann::json::object_t&>();
        for (const auto& [key, element] : *from->dictionary()) pending.emplace_back(&element, &members[key]);
        break;
      }
    }
  }
  return root;
}

std::optional<Value> fromJson(const nlohmann::json& json, int maxDepth) {
  try {
    return convert(json, 0, maxDepth);
  } catch (const std::exception&) {
    return std::nullopt;  // out of memory
  }
}

// Whether `text` opens more than `limit` containers inside each other, counting brackets outside
// strings. The parser's own depth callback would do, but with it nlohmann rescans an object each
// time one of its children ends, which makes a large flat document quadratic to read.
static bool nestedDeeperThan(std::string_view text, int limit) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
      continue;
    }
    if (c == '"') inString = true;
    else if (c == '{' || c == '[') { if (++depth > limit) return true; }
    else if (c == '}' || c == ']') --depth;
  }
  return false;
}

std::optional<Value> parseJson(std::string_view text, std::string* error, int maxDepth) {
  // Text nested too deep is refused before anything is built.
  if (nestedDeeperThan(text, maxDepth)) {
    if (error != nullptr) *error = tooDeepMessage(maxDepth);
    return std::nullopt;
  }
  try {
    nlohmann::json json = nlohmann::json::parse(text.begin(), text.end());
    std::optional<Value> value = fromJson(json, maxDepth);
    if (!value && error != nullptr) *error = tooDeepMessage(maxDepth);
    return value;
  } catch (const nlohmann::json::exception& e) {
    if (error != nullptr) *error = e.what();
  } catch (const std::exception& e) {
    if (error != nullptr) *error = e.what();
  }
  return std::nullopt;
}

}  // namespace trellis
