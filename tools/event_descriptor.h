// Event descriptors of the script engine (handler calls and their results) as a tree of Values,
// so that they print and parse as JSON. Every descriptor is a dictionary whose "type" is its
// four-character descriptor type:
//
//   "utxt" text, "bool" boolean, "long" 32-bit integer, "doub" double, "ldt " date, "null":
//       {"type": T, "value": V}  (a date's value is its seconds since 1970)
//   "psn " process serial number: {"type": "psn ", "value": {"highLongOfPSN": H, "lowLongOfPSN": L}}
//   "list": {"type": "list", "items": [descriptor, ...]}
//   "reco" record: {"type": "reco", "fields": {key: descriptor, ...}}
//   "aevt" event: {"type": "aevt", "eventClass": C, "eventID": I, "returnID": R, "transactionID": X,
//                  "target": descriptor, "parameters": {keyword: descriptor, ...}}
//
// A plain value type: copies are deep, any thread may use its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "model/value.h"

namespace trellis {

// The codes of the handler call.
inline constexpr std::string_view kScriptSuite = "ascr";            // the script engine's suite
inline constexpr std::string_view kSubroutineEvent = "psbr";        // a call of a named handler
inline constexpr std::string_view kSubroutineNameKeyword = "snam";  // the handler's name
inline constexpr std::string_view kDirectObjectKeyword = "----";    // the argument list
inline constexpr std::int32_t kAutoGenerateReturnID = -1;
inline constexpr std::int32_t kAnyTransactionID = 0;
inline constexpr std::uint32_t kCurrentProcessLow = 2;               // "this process", high word 0

class EventDescriptor {
 public:
  static EventDescriptor string(std::string_view text);
  static EventDescriptor boolean(bool value);
  static EventDescriptor int32(std::int32_t value);
  static EventDescriptor float64(double value);
  static EventDescriptor date(Date value);
  static EventDescriptor null();
  static EventDescriptor list();
  static EventDescriptor processSerialNumber(std::uint32_t high, std::uint32_t low);
  static EventDescriptor appleEvent(std::string_view eventClass, std::string_view eventID,
                                    const EventDescriptor& target, std::int32_t returnID, std::int32_t transactionID);

  // A descriptor from its tree: a dictionary whose "type" is a four-character text. Nothing
  // otherwise. Only the top level is checked.
  static std::optional<EventDescriptor> fromTree(const Value& tree);
  // An ordinary value as a descriptor: text "utxt", boolean "bool", an integer that fits 32 bits
  // "long", any other number "doub", date "ldt ", null "null", array "list" of its elements,
  // dictionary "reco" of its entries, bytes "data" (as the hex text JSON gives them).
  static EventDescriptor fromValue(const Value& value);

  std::string type() const;
  // The "value" entry of a scalar descriptor; nullptr when there is none.
  const Value* value() const;
  // The text of a "utxt" descriptor; nothing for other types.
  std::optional<std::string> stringValue() const;

  // A list's element count, its one-based element, and insertion at one-based `index` (0, or any
  // index past the end, appends). Other types have no elements and ignore insertion.
  std::size_t count() const;
  std::optional<EventDescriptor> item(std::size_t index) const;
  void insert(const EventDescriptor& item, std::size_t index);

  // An event's parameters by keyword. Other types have none and ignore setting.
  void setParam(std::string_view keyword, const EventDescriptor& value);
  std::optional<EventDescriptor> paramForKeyword(std::string_view keyword) const;

  const Value& tree() const { return tree_; }

  friend bool operator==(const EventDescriptor&, const EventDescriptor&) = default;

 private:
  explicit EventDescriptor(Value tree) : tree_(std::move(tree)) {}
  Value tree_;
};

}  // namespace trellis
