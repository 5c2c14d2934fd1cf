// Fuzzes the keyed archive reader: the input is a document. A document that reads must decode
// into a fan set or fail cleanly, and a fan set that decodes must archive again into a document
// that decodes to the same fan set. Single-threaded.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "model/keyed_archive.h"
#include "smc/fan_model.h"

namespace {

using namespace trellis;

void checkRoundTrip(const FanModel& model) {
  const Dictionary form = model.mj_keyValues();
  std::optional<std::string> again = archivedDocument(model);
  if (!again) __builtin_trap();  // whatever was read can be written
  std::shared_ptr<FanModel> twice = unarchivedRecord<FanModel>(*again);
  if (twice == nullptr || twice->mj_keyValues() != form) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  std::unique_ptr<KeyedUnarchiver> unarchiver = KeyedUnarchiver::forReading(text, &error);
  if (unarchiver == nullptr) {
    if (error.empty()) __builtin_trap();  // every refusal says why
    return 0;
  }

  // The fan set under the root key.
  if (std::shared_ptr<FanModel> model = unarchiver->decodeObjectOfClass<FanModel>(kArchiveRootKey)) {
    checkRoundTrip(*model);
  } else if (unarchiver->containsValueForKey(kArchiveRootKey) && unarchiver->error().empty()) {
    __builtin_trap();  // a root that did not decode must say why
  }

  // The top level as a fan set's own fields, on a fresh reader (a failure stays with its reader).
  unarchiver = KeyedUnarchiver::forReading(text);
  if (unarchiver == nullptr) __builtin_trap();  // read once, reads again
  if (std::shared_ptr<FanModel> model = FanModel::initWithCoder(*unarchiver)) checkRoundTrip(*model);

  // Plain values of every class, and the root again through the Fan class as well.
  unarchiver = KeyedUnarchiver::forReading(text);
  ObjectClasses all{ValueClass::Null, ValueClass::Number, ValueClass::Text, ValueClass::Bytes,
                    ValueClass::Date, ValueClass::List, ValueClass::Dictionary};
  all.add(recordTypeOf<Fan>()).add(recordTypeOf<FanModel>());
  for (std::string_view key : {"root", "count", "fans", "ID", "speed", "k"}) {
    if (std::optional<Object> object = unarchiver->decodeObjectOfClasses(all, key)) (void)mj_keyValues(*object);
  }
  return 0;
}
