// The CPU and main-disk temperatures, read through the SMC client. Main thread only (the
// sampling cycle); the sticky key index is not locked.
#pragma once

#include <cstdint>

namespace trellis {

// Reads the CPU temperature in degrees Celsius into `*temperature`. Returns 0, or -1 for a null
// pointer or when the SMC cannot be opened (the output is then left as the caller preset it).
int TlxGetCpuTemperature(double* temperature);

// The average of the fallback table's positive readings, 0.0 when there is none.
float TlxGetCpuTemperatureAverage();

// Reads the main disk's temperature into `*temperature`. Returns 0 (the output may be left
// unwritten when the key cannot be read), or -1 for a null pointer, an SMC that cannot be
// opened, or a negative reading.
int TlxGetSsdTemperature(double* temperature);

}  // namespace trellis
