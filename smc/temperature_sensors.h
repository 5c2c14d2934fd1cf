// The CPU and main-disk temperatures, read through the SMC client, and the key tables they read.
// Main thread only (the sampling cycle); the sticky key index is not locked.
#pragma once

#include <cstdint>

namespace trellis {

// The CPU keys tried first, as key codes: TC0P, TCGc, TC0D, TC0H, TC0c, TCAD. Each is read as two
// raw bytes decoded as a shifted "sp78" value, whatever type the SMC gives it.
inline constexpr int kCpuTemperatureKeyCount = 6;
extern const std::uint32_t kCpuTemperatureKeys[kCpuTemperatureKeyCount];

// The CPU keys averaged when none of the first table reads plausibly, as texts (four characters
// and a NUL), read by name and decoded by their type.
inline constexpr int kCpuTemperatureFallbackKeyCount = 21;
extern const char kCpuTemperatureFallbackKeys[kCpuTemperatureFallbackKeyCount][5];

// The main disk's key, read by name.
extern const char kSsdTemperatureKey[5];

// Reads the CPU temperature in degrees Celsius into `*temperature`. Returns 0, or -1 for a null
// pointer or when the SMC cannot be opened (the output is then left as the caller preset it).
// Tries the first table starting at the key that read plausibly (above 0.0, at most 110.0) last
// time; when none of the six does, writes the fallback average instead (0.0 when no fallback key
// reads positive) and still returns 0.
int TlxGetCpuTemperature(double* temperature);

// The average of the fallback table's positive readings, 0.0 when there is none. Keys that cannot
// be read are skipped.
float TlxGetCpuTemperatureAverage();

// Reads the main disk's temperature into `*temperature`. Returns 0 (the output is left unwritten
// when the key cannot be read), or -1 for a null pointer, an SMC that cannot be opened, or a
// negative reading (output unwritten).
int TlxGetSsdTemperature(double* temperature);

// The process-wide count of first-table keys passed over so far; the next reading starts at
// entry (count modulo 6). Starts at 0 and is never reset in the agent.
std::uint32_t TlxCpuTemperatureKeyIndex();

// FOR TESTS ONLY: puts the first-table key count back to 0, as in a fresh process.
void TlxResetCpuTemperatureKeyIndexForTesting();

}  // namespace trellis
