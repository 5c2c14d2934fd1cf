// The preferences document over the keyed archive. The document functions keep no state.
#include "tools/preferences_storage.h"

#include <vector>

#include "base/services.h"
#include "model/keyed_archive.h"

namespace trellis {

PreferencesStorage& PreferencesStorage::system() {
  return required(installedServices().preferences, "the preferences storage");
}

bool isPreferenceValue(const Value& value) {
  // Iterative: a document may nest as deep as the archive allows.
  std::vector<const Value*> pending{&value};
  while (!pending.empty()) {
    const Value* current = pending.back();
    pending.pop_back();
    if (current->isNull()) return false;
    if (const Array* elements = current->array()) {
      for (const Value& element : *elements) pending.push_back(&element);
    } else if (const Dictionary* members = current->dictionary()) {
      for (const auto& [key, member] : *members) pending.push_back(&member);
    }
  }
  return true;
}

std::optional<std::string> preferencesDocument(const Dictionary& values) {
  Value all(values);
  if (!isPreferenceValue(all)) return std::nullopt;
  KeyedArchiver archiver;
  if (!archiver.encodeObject(Object(std::move(all)), kPreferencesValuesKey)) return std::nullopt;
  return archiver.finishEncoding();
}

std::optional<Dictionary> readPreferencesDocument(std::string_view document, std::string* error) {
  auto refuse = [error](std::string message) -> std::optional<Dictionary> {
    if (error != nullptr) *error = std::move(message);
    return std::nullopt;
  };
  std::string archiveError;
  std::unique_ptr<KeyedUnarchiver> unarchiver = KeyedUnarchiver::forReading(document, &archiveError);
  if (!unarchiver) return refuse(std::move(archiveError));
  // Every plain class but null: writes never store a null, so one found here was put there by
  // something else, and the decode fails on it. A dictionary node stays one plain Value when
  // decoded (only lists outside dictionaries become object lists), so the domain comes back whole.
  const ObjectClasses preferenceClasses{ValueClass::Number, ValueClass::Text, ValueClass::Bytes, ValueClass::Date,
                                        ValueClass::List, ValueClass::Dictionary};
  std::optional<Object> object = unarchiver->decodeObjectOfClasses(preferenceClasses, kPreferencesValuesKey);
  if (!object) return refuse(unarchiver->failed() ? unarchiver->error() : "no \"values\" entry");
  const Value* values = object->value();
  if (values == nullptr || values->dictionary() == nullptr) return refuse("\"values\" is not a dictionary");
  return *values->dictionary();
}

}  // namespace trellis
