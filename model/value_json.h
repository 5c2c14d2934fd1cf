// Values as JSON text, for people and scripts: the companion prints readings with it and reads
// user information given on its command line. Pure functions: any thread may call them.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

#include "model/value.h"

namespace trellis {

// Numbers stay numbers, booleans stay booleans, bytes become lower-case hex text, dates their
// seconds since 1970, null null; numbers that are not finite become null (JSON has no text for
// them). A float becomes the double of its shortest text, so 0.1f prints as 0.1 rather than
// 0.10000000149011612. nlohmann's printer (Grisu2) then gives that text, except for a few floats
// in a thousand (none in the steps sensors report: 1/256 degree, millidegrees, quarter rpm),
// which print with up to 17 digits and still read back as the same float. Texts are copied as they are: dump with
// error_handler_t::replace when they may not be UTF-8. Never throws; works without recursion.
nlohmann::json toJson(const Value& value);

// JSON to a Value: integers become int32 when they fit, else int64, else uint64; other numbers
// double; objects dictionaries; binary bytes; null Null. Nesting deeper than `maxDepth` (counted
// as Value::depth() counts) gives nothing, as does a discarded value. Never throws.
std::optional<Value> fromJson(const nlohmann::json& json, int maxDepth = 64);

// Parses JSON text; nothing (and a message in `error` when given) for text that is not JSON or is
// nested deeper than `maxDepth`, which is refused while parsing. A key given twice keeps its last
// value. Never throws.
std::optional<Value> parseJson(std::string_view text, std::string* error = nullptr, int maxDepth = 64);

}  // namespace trellis
