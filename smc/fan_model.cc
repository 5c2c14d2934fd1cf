// The fan records' property tables. The tables are worked out once and shared (model/record.h).
#include "smc/fan_model.h"

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

#include "model/keyed_archive.h"
#include "model/mapping.h"

namespace trellis {
namespace {

// The entry under `key`, made (holding null) when there is none.
Value& entry(Dictionary& form, std::string_view key) {
  auto found = form.find(key);
  if (found == form.end()) found = form.emplace(std::string(key), Value()).first;
  return found->second;
}

void erase(Dictionary& form, std::string_view key) {
  auto found = form.find(key);
  if (found != form.end()) form.erase(found);
}

// Drops the entries whose keys are not among `keys`.
void keepOnly(Dictionary& form, std::initializer_list<std::string_view> keys) {
  for (auto at = form.begin(); at != form.end();) {
    if (std::find(keys.begin(), keys.end(), at->first) == keys.end()) {
      at = form.erase(at);
    } else {
      ++at;
    }
  }
}

// The container `value` holds, made (empty) when it holds anything else.
template <class Container>
Container& containerAt(Value& value) {
  if (value.get<Container>() == nullptr) value = Container{};
  return *value.get<Container>();
}

}  // namespace

RecordTable<Fan> Fan::recordTable() {
  return RecordTable<Fan>("Fan")
      .property("ID", &Fan::ID, &Fan::setID)
      .property("speed", &Fan::speed, &Fan::setSpeed)
      .property("maxSpeed", &Fan::maxSpeed, &Fan::setMaxSpeed)
      .property("minSpeed", &Fan::minSpeed, &Fan::setMinSpeed)
      .archivable();
}

Dictionary Fan::mj_keyValues() const { return trellis::mj_keyValues(*this); }

void Fan::assignKeyValues(Dictionary& form) const {
  keepOnly(form, {"ID", "speed", "maxSpeed", "minSpeed"});
  if (ID_) {
    Value& id = entry(form, "ID");
    if (std::string* text = id.get<std::string>()) {
      *text = *ID_;
    } else {
      id = *ID_;
    }
  } else {
    erase(form, "ID");
  }
  entry(form, "speed") = speed_;
  entry(form, "maxSpeed") = maxSpeed_;
  entry(form, "minSpeed") = minSpeed_;
}

std::shared_ptr<Fan> Fan::initWithCoder(KeyedDecoder& coder) {
  auto fan = std::make_shared<Fan>();
  mj_decode(*fan, coder);
  return coder.failed() ? nullptr : fan;
}

void Fan::encodeWithCoder(KeyedEncoder& coder) const { mj_encode(*this, coder); }

RecordTable<FanModel> FanModel::recordTable() {
  return RecordTable<FanModel>("FanModel")
      .property("count", &FanModel::count, &FanModel::setCount)
      .property("fans", &FanModel::fans, &FanModel::setFans)
      .classInArray("fans", "Fan")
      .archivable();
}

const ClassInArray& FanModel::mj_objectClassInArray() { return trellis::mj_objectClassInArray<FanModel>(); }

Dictionary FanModel::mj_keyValues() const { return trellis::mj_keyValues(*this); }

void FanModel::assignKeyValues(Dictionary& form) const {
  keepOnly(form, {"count", "fans"});
  entry(form, "count") = count_;
  if (!fans_) {
    erase(form, "fans");
    return;
  }
  Array& forms = containerAt<Array>(entry(form, "fans"));
  std::size_t used = 0;
  for (const std::shared_ptr<Fan>& fan : *fans_) {
    if (!fan) continue;  // as in the dictionary form, a null fan is left out
    if (used == forms.size()) forms.emplace_back();
    fan->assignKeyValues(containerAt<Dictionary>(forms[used++]));
  }
  forms.erase(forms.begin() + static_cast<std::ptrdiff_t>(used), forms.end());
}

std::shared_ptr<FanModel> FanModel::initWithCoder(KeyedDecoder& coder) {
  auto model = std::make_shared<FanModel>();
  mj_decode(*model, coder);
  return coder.failed() ? nullptr : model;
}

void FanModel::encodeWithCoder(KeyedEncoder& coder) const { mj_encode(*this, coder); }

}  // namespace trellis
