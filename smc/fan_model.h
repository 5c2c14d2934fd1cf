// The fan records: one fan's identifying text and speeds, and the fan set. Plain values with
// no thread affinity of their own; the fan collector owns them on the main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/value.h"

namespace trellis {

class Fan {
 public:
  const std::optional<std::string>& ID() const { return ID_; }
  void setID(std::optional<std::string> id) { ID_ = std::move(id); }
  std::int32_t speed() const { return speed_; }
  void setSpeed(std::int32_t v) { speed_ = v; }
  std::int32_t maxSpeed() const { return maxSpeed_; }
  void setMaxSpeed(std::int32_t v) { maxSpeed_ = v; }
  std::int32_t minSpeed() const { return minSpeed_; }
  void setMinSpeed(std::int32_t v) { minSpeed_ = v; }

  // The dictionary form: "ID" (left out when absent), "speed", "maxSpeed", "minSpeed".
  Dictionary mj_keyValues() const;

 private:
  std::optional<std::string> ID_;
  std::int32_t speed_ = 0;
  std::int32_t maxSpeed_ = 0;
  std::int32_t minSpeed_ = 0;
};

class FanModel {
 public:
  std::int32_t count() const { return count_; }
  void setCount(std::int32_t v) { count_ = v; }
  // Absent until the first successful reading.
  const std::optional<std::vector<std::shared_ptr<Fan>>>& fans() const { return fans_; }
  void setFans(std::optional<std::vector<std::shared_ptr<Fan>>> fans) { fans_ = std::move(fans); }

  // The dictionary form: "count" and, once a list is stored, "fans".
  Dictionary mj_keyValues() const;

 private:
  std::int32_t count_ = 0;
  std::optional<std::vector<std::shared_ptr<Fan>>> fans_;
};

}  // namespace trellis
