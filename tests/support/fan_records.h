// Fan records built in one call, and described property by property, for the suites that read,
// map, archive or publish them. Test thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "smc/fan_model.h"

namespace trellis::testing {

inline std::shared_ptr<Fan> makeFan(std::optional<std::string> id, std::int32_t speed, std::int32_t maxSpeed,
                                    std::int32_t minSpeed) {
  auto fan = std::make_shared<Fan>();
  fan->setID(std::move(id));
  fan->setSpeed(speed);
  fan->setMaxSpeed(maxSpeed);
  fan->setMinSpeed(minSpeed);
  return fan;
}

// Two fans: "Left side" running, and one without an identifier whose limits are unknown.
inline FanModel twoFans() {
  FanModel model;
  model.setCount(2);
  model.setFans(std::vector{makeFan("Left side", 2160, 6156, 1200), makeFan(std::nullopt, 0, -1, -1)});
  return model;
}

// The fan set property by property: "<count>: <ID> <speed> <max> <min>, ..." ("-" for an absent
// ID, "null" for a null fan), or "<count>: no list".
inline std::string describe(const FanModel& model) {
  std::string text = std::to_string(model.count()) + ":";
  if (!model.fans()) return text + " no list";
  for (const std::shared_ptr<Fan>& fan : *model.fans()) {
    text += fan == nullptr ? " null,"
                           : " " + fan->ID().value_or("-") + " " + std::to_string(fan->speed()) + " " +
                                 std::to_string(fan->maxSpeed()) + " " + std::to_string(fan->minSpeed()) + ",";
  }
  return text;
}

}  // namespace trellis::testing
