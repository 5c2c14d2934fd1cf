// The fan records: one fan's identifying text and speeds, and the fan set. Plain values with
// no thread affinity of their own; the fan collector owns them on the main thread. Their property
// tables give the dictionary form the fan reading publishes, and keyed archiving.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model/record.h"
#include "model/value.h"

namespace trellis {

class KeyedEncoder;
class KeyedDecoder;

class Fan {
 public:
  // Properties in declaration order: "ID", "speed", "maxSpeed", "minSpeed". Archivable.
  static RecordTable<Fan> recordTable();

  const std::optional<std::string>& ID() const { return ID_; }
  void setID(std::optional<std::string> id) { ID_ = std::move(id); }
  std::int32_t speed() const { return speed_; }
  void setSpeed(std::int32_t v) { speed_ = v; }
  std::int32_t maxSpeed() const { return maxSpeed_; }
  void setMaxSpeed(std::int32_t v) { maxSpeed_ = v; }
  std::int32_t minSpeed() const { return minSpeed_; }
  void setMinSpeed(std::int32_t v) { minSpeed_ = v; }

  // The dictionary form: "ID" (left out when absent), "speed", "maxSpeed", "minSpeed", each speed
  // an int32 number.
  Dictionary mj_keyValues() const;
  // Makes `form` the dictionary form, keeping the entries and the ID's text buffer it has: the
  // sampling cycle refreshes its forms with it and allocates nothing while the fan keeps its shape.
  void assignKeyValues(Dictionary& form) const;

  // A plain new fan, then its properties from `coder` (model/mapping.h mj_decode); nullptr when
  // the coder failed.
  static std::shared_ptr<Fan> initWithCoder(KeyedDecoder& coder);
  // Writes the properties into `coder` (mj_encode); a failure is kept in the coder.
  void encodeWithCoder(KeyedEncoder& coder) const;

 private:
  std::optional<std::string> ID_;
  std::int32_t speed_ = 0;
  std::int32_t maxSpeed_ = 0;
  std::int32_t minSpeed_ = 0;
};

class FanModel {
 public:
  // Properties in declaration order: "count", "fans" (class in array: "fans" -> "Fan").
  // Archivable.
  static RecordTable<FanModel> recordTable();
  // The class-in-array map: {"fans": "Fan"}.
  static const ClassInArray& mj_objectClassInArray();

  std::int32_t count() const { return count_; }
  void setCount(std::int32_t v) { count_ = v; }
  // Absent until the first successful reading.
  const std::optional<std::vector<std::shared_ptr<Fan>>>& fans() const { return fans_; }
  void setFans(std::optional<std::vector<std::shared_ptr<Fan>>> fans) { fans_ = std::move(fans); }
  // Moves the list out and leaves it absent (for a collector that fills its buffer again).
  std::optional<std::vector<std::shared_ptr<Fan>>> takeFans() { return std::exchange(fans_, std::nullopt); }

  // The dictionary form: "count" (int32) and, once a list is stored, "fans": the fans'
  // dictionary forms in list order.
  Dictionary mj_keyValues() const;
  // Makes `form` the dictionary form in place, as Fan::assignKeyValues does.
  void assignKeyValues(Dictionary& form) const;

  // A plain new fan set, then its properties from `coder`; nullptr when the coder failed.
  static std::shared_ptr<FanModel> initWithCoder(KeyedDecoder& coder);
  // Writes the properties into `coder`, the fans as archived Fan records.
  void encodeWithCoder(KeyedEncoder& coder) const;

 private:
  std::int32_t count_ = 0;
  std::optional<std::vector<std::shared_ptr<Fan>>> fans_;
};

}  // namespace trellis
