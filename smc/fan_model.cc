// The fan records' property tables. The tables are worked out once and shared (model/record.h).
#include "smc/fan_model.h"

#include "model/keyed_archive.h"
#include "model/mapping.h"

namespace trellis {

RecordTable<Fan> Fan::recordTable() {
  return RecordTable<Fan>("Fan")
      .property("ID", &Fan::ID, &Fan::setID)
      .property("speed", &Fan::speed, &Fan::setSpeed)
      .property("maxSpeed", &Fan::maxSpeed, &Fan::setMaxSpeed)
      .property("minSpeed", &Fan::minSpeed, &Fan::setMinSpeed)
      .archivable();
}

Dictionary Fan::mj_keyValues() const { return trellis::mj_keyValues(*this); }

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

std::shared_ptr<FanModel> FanModel::initWithCoder(KeyedDecoder& coder) {
  auto model = std::make_shared<FanModel>();
  mj_decode(*model, coder);
  return coder.failed() ? nullptr : model;
}

void FanModel::encodeWithCoder(KeyedEncoder& coder) const { mj_encode(*this, coder); }

}  // namespace trellis
