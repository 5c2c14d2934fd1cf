#include "smc/fan_model.h"

namespace trellis {

Dictionary Fan::mj_keyValues() const {
  Dictionary form;
  if (ID_) form.emplace("ID", *ID_);
  form.emplace("speed", speed_);
  form.emplace("maxSpeed", maxSpeed_);
  form.emplace("minSpeed", minSpeed_);
  return form;
}

Dictionary FanModel::mj_keyValues() const {
  Dictionary form;
  form.emplace("count", count_);
  if (fans_) {
    Array list;
    list.reserve(fans_->size());
    for (const auto& fan : *fans_) {
      if (fan) list.emplace_back(fan->mj_keyValues());
    }
    form.emplace("fans", std::move(list));
  }
  return form;
}

}  // namespace trellis
