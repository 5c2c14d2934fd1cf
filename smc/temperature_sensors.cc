// The CPU and main-disk temperature readers over the SMC client. Main thread only: the sticky
// index of the first CPU table is a plain process-wide counter without a lock.
#include "smc/temperature_sensors.h"

#include <cstring>

#include "smc/smc_client.h"

namespace trellis {

const std::uint32_t kCpuTemperatureKeys[kCpuTemperatureKeyCount] = {
    smcKeyCode("TC0P"), smcKeyCode("TCGc"), smcKeyCode("TC0D"),
    smcKeyCode("TC0H"), smcKeyCode("TC0c"), smcKeyCode("TCAD"),
};

const char kCpuTemperatureFallbackKeys[kCpuTemperatureFallbackKeyCount][5] = {
    "Tp09", "Tp0T", "Tp01", "Tp05", "Tp0D", "Tp0H", "Tp0L", "Tc0a", "Tc0b", "Tc0x", "Tc0z",
    "Tc7a", "Tc7b", "Tc7x", "Tc7z", "Tc8a", "Tc8b", "Tc9a", "Tc9b", "Tc9x", "Tc9z",
};

const char kSsdTemperatureKey[5] = "TH0x";

namespace {

// Advances past every first-table key that fails or reads implausibly, so the next reading
// starts with the key that worked last.
std::uint32_t cpuTemperatureKeyIndex = 0;

bool plausibleCpuTemperature(double value) { return value > 0.0 && value <= 110.0; }

}  // namespace

int TlxGetCpuTemperature(double* temperature) {
  if (temperature == nullptr) return -1;
  if (TlxOpen() == -1) return -1;
  for (int attempt = 0; attempt < kCpuTemperatureKeyCount; ++attempt) {
    const std::uint32_t code = kCpuTemperatureKeys[cpuTemperatureKeyIndex % kCpuTemperatureKeyCount];
    std::uint8_t bytes[2];
    std::uint8_t size = sizeof bytes;
    if (TlxReadKey(code, bytes, &size, /*askInfo=*/false) == 0) {
      // Decoded as a shifted sp78 whatever the key's type: unsigned, so a negative reading shows
      // up as a large, implausible one.
      *temperature = TlxDecodeSp78Shifted(bytes);
      if (plausibleCpuTemperature(*temperature)) return 0;
    }
    ++cpuTemperatureKeyIndex;
  }
  *temperature = TlxGetCpuTemperatureAverage();
  return 0;
}

float TlxGetCpuTemperatureAverage() {
  float sum = 0.0f;
  int count = 0;
  for (const char(&key)[5] : kCpuTemperatureFallbackKeys) {
    char name[5];
    std::memcpy(name, key, sizeof name);
    SmcKeyValue value;
    if (SmcReadKey(name, &value, TlxConnection()) != 0) continue;
    const float reading = SmcValueToFloat(value);
    if (reading > 0.0f) {
      sum += reading;
      ++count;
    }
  }
  return sum / static_cast<float>(count == 0 ? 1 : count);
}

int TlxGetSsdTemperature(double* temperature) {
  if (temperature == nullptr) return -1;
  if (TlxOpen() == -1) return -1;
  SmcKeyValue value;
  // An unreadable key is not a failure: the caller's preset stands.
  if (SmcReadKey(kSsdTemperatureKey, &value, TlxConnection()) != 0) return 0;
  const float reading = SmcValueToFloat(value);
  if (reading < 0.0f) return -1;
  *temperature = reading;
  return 0;
}

std::uint32_t TlxCpuTemperatureKeyIndex() { return cpuTemperatureKeyIndex; }

void TlxResetCpuTemperatureKeyIndexForTesting() { cpuTemperatureKeyIndex = 0; }

}  // namespace trellis
