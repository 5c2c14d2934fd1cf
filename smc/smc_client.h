// The SMC client: the process's only path to the System Management Controller. It opens one
// connection per process through the installed `SmcTransport`, exchanges 80-byte messages over
// it, caches the size and type of keys read by name, and decodes value bytes by data type.
//
// Threading: the connection handle, the raw read and write paths and the listing take no lock and
// belong to the main thread (the sampling cycle). The key-information cache is guarded by its own
// lock, held across the whole of `SmcGetKeyInfo` including its exchange. Nothing on the read
// paths allocates.
#pragma once

#include <cstdint>
#include <cstdio>

#include "smc/smc_transport.h"

namespace trellis {

// What a key-information reply tells about a key.
struct SmcKeyInfo {
  std::uint32_t dataSize;       // the value's size in bytes
  std::uint32_t dataType;       // four-character type code, first character most significant
  std::uint8_t dataAttributes;  // carried, never interpreted
};

// The record a typed read fills and `SmcValueToFloat` decodes.
struct SmcKeyValue {
  char key[5];             // the key name and a NUL
  std::uint32_t dataSize;  // the key's value size in bytes
  char dataType[5];        // the type code written out, most significant byte first, and a NUL
  std::uint8_t bytes[32];  // the value bytes as received
};

// Kernel-call codes the client answers with when no exchange can take place (the values of
// kIOReturnNotOpen and kIOReturnBadArgument): no transport is installed or the handle given is 0;
// a required pointer is null.
inline constexpr int kSmcNotOpen = static_cast<int>(0xE00002CD);
inline constexpr int kSmcBadArgument = static_cast<int>(0xE00002C2);

// The key-information cache holds the first this many distinct keys and then stops growing.
inline constexpr int kSmcKeyInfoCacheCapacity = 100;

// Opens the process-wide connection through `SmcTransport::system()` unless one is already open
// (then nothing is called). Returns 0 when a connection is open, -1 otherwise (no transport, or
// the transport refused); a later call tries again.
int TlxOpen();

// Calls `TlxOpen`, ignores its result and returns the process-wide handle (0 if none).
std::uint32_t TlxConnection();

// Raw read on the process-wide handle. `*size` is, on entry, the buffer's capacity (with
// `askInfo`) or the count to read (without); with `askInfo` the key's size is asked first and
// stored (its low byte) in `*size`, and a key larger than the capacity fails. Returns 0 with
// `*size` bytes in `buffer`, or -1 (null argument, zero code, failed exchange, non-zero result,
// key too large). After a failure `buffer` holds zeros over the count once the value was asked
// for, and is untouched otherwise. At most 32 bytes come from the SMC; a larger count is zero past
// them.
int TlxReadKey(std::uint32_t code, std::uint8_t* buffer, std::uint8_t* size, bool askInfo);

// Writes `size` bytes (at most 32 are sent) to a key whose size is exactly `size`, on the
// process-wide handle. Returns 0 or -1 (null bytes, zero code or count, failed exchange,
// non-zero result, size mismatch).
int TlxWriteKey(std::uint32_t code, const std::uint8_t* bytes, std::uint8_t size);

// The key's size, type and attributes, from the cache or else from the SMC on `connection`
// (cached then, whatever the reply's result byte, while the cache has room). Returns 0, or the
// non-zero code of the failed exchange with `*info` unchanged (kSmcBadArgument for a null
// `info`).
int SmcGetKeyInfo(std::uint32_t code, SmcKeyInfo* info, std::uint32_t connection);

// Typed read of the key `name` (four characters; read up to the first NUL and at most four) on
// `connection`: zeroes `*value`, fills in the name, then the size and type from `SmcGetKeyInfo`,
// then the 32 value bytes. Returns 0, or the non-zero code of the failed exchange; `*value` then
// holds only the name (information failed) or the name, size and type (value failed). The
// reply's result byte is not examined. A null argument gives kSmcBadArgument.
int SmcReadKey(const char* name, SmcKeyValue* value, std::uint32_t connection);

// The value decoded by its data type ("ui8 ", "fpe2", "sp78", "flt ", "{pwm", ...); 0.0 for a
// size of 0, an unknown type, or a known type with a size it does not have. A size above 32
// reads the missing bytes as zero.
float SmcValueToFloat(SmcKeyValue value);

// `count` bytes read as a big-endian unsigned number in 32-bit arithmetic (only the last four
// count); 0 for a count of 0 or less.
std::uint32_t SmcBytesToUInt(const std::uint8_t* bytes, int count);

// Two bytes read as unsigned big-endian, the two lowest bits dropped, divided by 256:
// never negative, at most 255.984375.
double TlxDecodeSp78Shifted(const std::uint8_t* bytes);

// The integer part of an unsigned fixed-point value of `count` bytes with `fractionBits`
// fraction bits, accumulated in float; 0.0 for a count of 0 or less.
float TlxDecodeFpInt(const std::uint8_t* bytes, int count, int fractionBits);

// Prints every key of the SMC with its size, type and value to the standard output (or `out`):
// "Total key: N", then one line per key. Ends early at the first key whose index or
// information cannot be read; a key whose value cannot be read gets a failure line and the
// listing goes on. Prints nothing when no connection can be opened or "#KEY" cannot be read.
void TlxListKeys();
void TlxListKeys(std::FILE* out);

// FOR TESTS ONLY: forgets the process-wide connection (the handle goes back to 0, nothing is
// closed) and empties the key-information cache, so each test starts as a fresh process would.
// Never called by the agent, whose connection and cache live as long as the process.
void SmcResetProcessStateForTesting();

}  // namespace trellis
