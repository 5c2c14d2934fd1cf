// The fan collector's reading: the fan count, then per fan its identifier, speed and limits,
// gathered into a new fan list. Main thread only.
#include "smc/fan_info.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "smc/fan_smc.h"
#include "tools/kw_tools.h"

namespace trellis {
namespace {

// Truncation toward zero. A value with no 32-bit integer part (NaN, beyond the range) becomes
// INT32_MIN, the x86 conversion instruction's answer, rather than undefined behaviour.
std::int32_t truncateToInt32(double value) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

// The slot's text up to its NUL, if it is UTF-8.
std::optional<std::string> fanName(const char (&slot)[kFanNameSize]) {
  std::string_view text(slot, sizeof slot);
  text = text.substr(0, text.find('\0'));
  if (!isValidUtf8(text)) return std::nullopt;
  return std::string(text);
}

}  // namespace

std::shared_ptr<FanModel> FanInfo::model() {
  if (!model_) model_ = std::make_shared<FanModel>();
  return model_;
}

void FanInfo::reloadInfo() {
  const int count = TlxGetFanCount();
  if (count < 1 || count > kMaxFanCount) {
    sandbox_ = true;
    return;
  }
  const std::shared_ptr<FanModel> record = model();
  record->setCount(count);

  char names[kFanSlots][kFanNameSize];
  double speeds[kFanSlots];
  std::memset(names, 0, sizeof names);
  std::memset(speeds, 0, sizeof speeds);
  // Both stop or skip on their own failures and leave those slots zero, which is what the fans
  // then carry: an empty identifier, a speed of 0.
  (void)TlxGetFanIds(count, names);
  (void)TlxGetFanSpeeds(count, speeds);

  // Fan records only the collector holds are filled again in place (nobody can tell them from
  // new ones); any other holder keeps the records it has.
  std::vector<std::shared_ptr<Fan>> fans;
  if (std::optional<std::vector<std::shared_ptr<Fan>>> held = record->takeFans()) fans = std::move(*held);
  fans.resize(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    // All four properties of a fan are set below, so a kept record needs no clearing.
    std::shared_ptr<Fan>& fan = fans[static_cast<std::size_t>(i)];
    if (!fan || fan.use_count() != 1) fan = std::make_shared<Fan>();
    fan->setID(fanName(names[i]));
    fan->setMaxSpeed(truncateToInt32(TlxGetFanMaxSpeed(i)));
    fan->setMinSpeed(truncateToInt32(TlxGetFanMinSpeed(i)));
    fan->setSpeed(truncateToInt32(speeds[i]));
  }
  record->setFans(std::move(fans));
}

}  // namespace trellis
