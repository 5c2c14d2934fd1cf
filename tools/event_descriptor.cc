// Building and reading descriptor trees. Pure code over Values.
#include "tools/event_descriptor.h"

#include <cmath>
#include <limits>

#include "model/value_json.h"

namespace trellis {

namespace {

EventDescriptor scalar(std::string_view type, Value value) {
  Dictionary tree{{"type", Value(type)}, {"value", std::move(value)}};
  return *EventDescriptor::fromTree(Value(std::move(tree)));
}

Dictionary* dictionaryOf(Value& tree) { return tree.get<Dictionary>(); }

}  // namespace

EventDescriptor EventDescriptor::string(std::string_view text) { return scalar("utxt", Value(text)); }
EventDescriptor EventDescriptor::boolean(bool value) { return scalar("bool", Value(value)); }
EventDescriptor EventDescriptor::int32(std::int32_t value) { return scalar("long", Value(value)); }
EventDescriptor EventDescriptor::float64(double value) { return scalar("doub", Value(value)); }
EventDescriptor EventDescriptor::date(Date value) { return scalar("ldt ", Value(value)); }
EventDescriptor EventDescriptor::null() { return scalar("null", Value()); }

EventDescriptor EventDescriptor::list() {
  return EventDescriptor(Value(Dictionary{{"type", Value("list")}, {"items", Value(Array{})}}));
}

EventDescriptor EventDescriptor::processSerialNumber(std::uint32_t high, std::uint32_t low) {
  return scalar("psn ", Value(Dictionary{{"highLongOfPSN", Value(high)}, {"lowLongOfPSN", Value(low)}}));
}

EventDescriptor EventDescriptor::appleEvent(std::string_view eventClass, std::string_view eventID,
                                            const EventDescriptor& target, std::int32_t returnID,
                                            std::int32_t transactionID) {
  return EventDescriptor(Value(Dictionary{
      {"type", Value("aevt")},
      {"eventClass", Value(eventClass)},
      {"eventID", Value(eventID)},
      {"returnID", Value(returnID)},
      {"transactionID", Value(transactionID)},
      {"target", target.tree()},
      {"parameters", Value(Dictionary{})},
  }));
}

std::optional<EventDescriptor> EventDescriptor::fromTree(const Value& tree) {
  const Value* type = tree.find("type");
  if (type == nullptr || type->string() == nullptr || type->string()->size() != 4) return std::nullopt;
  return EventDescriptor(tree);
}

EventDescriptor EventDescriptor::fromValue(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Null:
      return null();
    case Value::Kind::Bool:
      return boolean(*value.get<bool>());
    case Value::Kind::String:
      return string(*value.string());
    case Value::Kind::Date:
      return date(*value.get<Date>());
    case Value::Kind::Bytes:
      return scalar("data", Value(toJson(value).get<std::string>()));
    case Value::Kind::Array: {
      EventDescriptor result = list();
      for (const Value& element : *value.array()) result.insert(fromValue(element), 0);
      return result;
    }
    case Value::Kind::Dictionary: {
      Dictionary fields;
      for (const auto& [key, element] : *value.dictionary()) fields.emplace(key, fromValue(element).tree());
      return EventDescriptor(Value(Dictionary{{"type", Value("reco")}, {"fields", Value(std::move(fields))}}));
    }
    default:
      break;
  }
  std::optional<std::int64_t> integer = value.toInt64();
  if (integer && *integer >= std::numeric_limits<std::int32_t>::min() &&
      *integer <= std::numeric_limits<std::int32_t>::max() &&
      (value.kind() != Value::Kind::Float && value.kind() != Value::Kind::Double)) {
    return int32(static_cast<std::int32_t>(*integer));
  }
  return float64(value.toDouble().value_or(std::nan("")));
}

std::string EventDescriptor::type() const { return *tree_.find("type")->string(); }

const Value* EventDescriptor::value() const { return tree_.find("value"); }

std::optional<std::string> EventDescriptor::stringValue() const {
  const Value* text = value();
  if (type() != "utxt" || text == nullptr || text->string() == nullptr) return std::nullopt;
  return *text->string();
}

std::size_t EventDescriptor::count() const {
  const Value* items = tree_.find("items");
  return type() == "list" && items != nullptr && items->array() != nullptr ? items->array()->size() : 0;
}

std::optional<EventDescriptor> EventDescriptor::item(std::size_t index) const {
  if (index == 0 || index > count()) return std::nullopt;
  return fromTree((*tree_.find("items")->array())[index - 1]);
}

void EventDescriptor::insert(const EventDescriptor& item, std::size_t index) {
  if (type() != "list") return;
  Value& items = (*dictionaryOf(tree_))["items"];
  if (items.array() == nullptr) items = Value(Array{});
  Array& elements = *items.get<Array>();
  if (index == 0 || index > elements.size()) {
    elements.push_back(item.tree());
  } else {
    elements.insert(elements.begin() + static_cast<std::ptrdiff_t>(index - 1), item.tree());
  }
}

void EventDescriptor::setParam(std::string_view keyword, const EventDescriptor& value) {
  if (type() != "aevt") return;
  Value& parameters = (*dictionaryOf(tree_))["parameters"];
  if (parameters.dictionary() == nullptr) parameters = Value(Dictionary{});
  (*parameters.get<Dictionary>())[std::string(keyword)] = value.tree();
}

std::optional<EventDescriptor> EventDescriptor::paramForKeyword(std::string_view keyword) const {
  const Value* parameters = tree_.find("parameters");
  const Value* parameter = parameters != nullptr ? parameters->find(keyword) : nullptr;
  if (type() != "aevt" || parameter == nullptr) return std::nullopt;
  return fromTree(*parameter);
}

}  // namespace trellis
