// The fan routines over the SMC client: the fan count ("FNum") and, per fan index i, the
// identifier ("F<i>ID"), current speed ("F<i>Ac"), maximum ("F<i>Mx") and minimum ("F<i>Mn").
// Main thread only (the sampling cycle): the fan error budget is a plain process-wide counter.
#pragma once

#include <cstdint>
#include <cstdio>

namespace trellis {

// The working buffers hold this many fans; a count above kMaxFanCount is never used with them.
inline constexpr int kFanSlots = 10;
inline constexpr int kMaxFanCount = 9;
// One identifier slot: at most 16 text bytes and a NUL.
inline constexpr int kFanNameSize = 20;

// The name of fan `index`'s key: "F", the index in decimal, then `suffix` (two characters, "ID",
// "Ac", "Mx" or "Mn"), cut to four characters and a NUL ("F0Ac"; index 12 gives "F12A").
void TlxFanKeyName(int index, const char (&suffix)[3], char (&name)[5]);

// The fan count 0..255: the "FNum" byte read raw; when that fails, the key read by name (its
// value's low 8 bits). -1 when no connection can be opened or both reads fail. Writes to `out`
// (no line end): "smc read key[FNum] failed." after a failed raw read, then either
// "smc read key2[FNum] failed." or "smc read key2[FNum] = <n>".
int TlxGetFanCount();  // messages to the standard output
int TlxGetFanCount(std::FILE* out);

// Fills `names[i]` with the text of fan i's identifier (bytes 4 on of its value, at most 16, and a
// NUL; empty for a value shorter than 4 bytes) for i below `count`. Returns 0, or -1 for a count
// of 0 or above kMaxFanCount, null `names`, no connection, or at the first identifier that cannot
// be read (that slot and later ones are left as they were).
int TlxGetFanIds(int count, char (*names)[kFanNameSize]);

// Fills `speeds[i]` with fan i's current speed, decoded by the key's data type, for i below
// `count`. A speed that cannot be read leaves its slot as it was; while the process's fan error
// budget (2 over its whole life) lasts, it is reported: "SensorError" posted on the default
// local notification centre with the key's data-type text as object (empty when its type could
// not be learnt), and "TlxGetFanSpeeds Failed with dataType=<type>" written to the system log.
// Returns 0, or -1 for a count of 0 or above kMaxFanCount, null `speeds`, or no connection.
int TlxGetFanSpeeds(int count, double* speeds);

// Fan `index`'s maximum and minimum speed: two raw bytes read as an unsigned "fpe2" value, fraction
// dropped, whatever the key's type. -1.0 when no connection can be opened or the key cannot be
// read.
float TlxGetFanMaxSpeed(int index);
float TlxGetFanMinSpeed(int index);

// FOR TESTS ONLY: gives the fan error budget back its starting 2, as in a fresh process.
void TlxResetFanErrorBudgetForTesting();

}  // namespace trellis
