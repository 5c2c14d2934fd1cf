// The fan routines over the SMC client. Main thread only; the fan error budget is not locked.
#include "smc/fan_smc.h"

#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

#include "base/system_log.h"
#include "notify/local_notification_center.h"
#include "smc/smc_client.h"

namespace trellis {
namespace {

// How many unreadable fan speeds are still reported in this process.
std::int32_t fanErrorBudget = 2;

float readFanLimit(int index, const char (&suffix)[3]) {
  if (TlxOpen() == -1) return -1.0f;
  char name[5];
  TlxFanKeyName(index, suffix, name);
  std::uint8_t bytes[2];
  std::uint8_t size = sizeof bytes;
  if (TlxReadKey(smcKeyCode(name), bytes, &size, /*askInfo=*/false) != 0) return -1.0f;
  return TlxDecodeFpInt(bytes, 2, 2);
}

}  // namespace

void TlxFanKeyName(int index, const char (&suffix)[3], char (&name)[5]) {
  // Formatted in full and then cut, as a 5-byte formatting buffer would cut it.
  char full[1 + 11 + 2];  // "F", any int, the suffix
  full[0] = 'F';
  char* end = std::to_chars(full + 1, full + 12, index).ptr;
  end[0] = suffix[0];
  end[1] = suffix[1];
  std::memcpy(name, full, 4);  // "F", at least one digit and the suffix: never shorter than 4
  name[4] = '\0';
}

int TlxGetFanCount() { return TlxGetFanCount(stdout); }

int TlxGetFanCount(std::FILE* out) {
  if (TlxOpen() == -1) return -1;
  std::uint8_t count = 0;
  std::uint8_t size = 1;
  if (TlxReadKey(smcKeyCode("FNum"), &count, &size, /*askInfo=*/false) == 0) return count;

  std::fputs("smc read key[FNum] failed.", out);
  SmcKeyValue value;
  if (SmcReadKey("FNum", &value, TlxConnection()) != 0) {
    std::fputs("smc read key2[FNum] failed.", out);
    return -1;
  }
  // Only the low byte is kept, and it is the value's last byte: one past the 32 a message
  // carries reads as zero, so such a size gives 0 rather than a read beyond the record.
  const int bytes = value.dataSize <= sizeof value.bytes ? static_cast<int>(value.dataSize) : 0;
  const int n = static_cast<int>(SmcBytesToUInt(value.bytes, bytes) & 0xFF);
  std::fprintf(out, "smc read key2[FNum] = %d", n);
  return n;
}

int TlxGetFanIds(int count, char (*names)[kFanNameSize]) {
  if (count == 0 || count > kMaxFanCount || names == nullptr) return -1;
  if (TlxOpen() == -1) return -1;
  for (int i = 0; i < count; ++i) {
    char name[5];
    TlxFanKeyName(i, "ID", name);
    std::uint8_t value[kFanNameSize];
    std::uint8_t size = sizeof value;
    if (TlxReadKey(smcKeyCode(name), value, &size, /*askInfo=*/true) != 0) return -1;
    // The first four bytes of the value are not part of the text.
    const int text = size > 4 ? size - 4 : 0;
    std::memcpy(names[i], value + 4, static_cast<std::size_t>(text));
    names[i][text] = '\0';
  }
  return 0;
}

int TlxGetFanSpeeds(int count, double* speeds) {
  if (count == 0 || count > kMaxFanCount || speeds == nullptr) return -1;
  if (TlxOpen() == -1) return -1;
  for (int i = 0; i < count; ++i) {
    char name[5];
    TlxFanKeyName(i, "Ac", name);
    SmcKeyValue value;
    if (SmcReadKey(name, &value, TlxConnection()) == 0) {
      speeds[i] = SmcValueToFloat(value);
      continue;
    }
    if (fanErrorBudget <= 0) continue;
    // The type text as far as its first NUL: empty when the key's information could not be read.
    std::string_view type(value.dataType, sizeof value.dataType - 1);
    type = type.substr(0, type.find('\0'));
    LocalNotificationCenter::defaultCenter().postNotificationName("SensorError", type);
    systemLog().write(kLogError, "TlxGetFanSpeeds Failed with dataType=" + std::string(type));
    --fanErrorBudget;
  }
  return 0;
}

float TlxGetFanMaxSpeed(int index) { return readFanLimit(index, "Mx"); }

float TlxGetFanMinSpeed(int index) { return readFanLimit(index, "Mn"); }

void TlxResetFanErrorBudgetForTesting() { fanErrorBudget = 2; }

}  // namespace trellis
