// The simulated SMC: a transport that answers from a key table loaded from a JSON file, for
// demos, replays and fault injection. Loading either takes the whole file or nothing. A loaded
// transport is used from one thread at a time; answering allocates nothing.
//
// File format (other tools write these files; keep it stable):
//
//   {
//     "open": true,                                      optional; false: opening fails
//     "keys": [                                          required, may be empty
//       { "key": "TC0P", "type": "sp78", "bytes": "2a80" },
//       { "key": "F0Ac", "type": "fpe2", "bytes": "1f40", "values": [ "1f40", "2000", "20c0" ] },
//       { "key": "TH0x", "type": "sp78", "bytes": "2100", "result": 132 },
//       { "key": "F1Ac", "type": "fpe2", "bytes": "1f40", "fail": 3758097084 }
//     ]
//   }
//
// - "key", "type": exactly four printable ASCII characters each, spaces included ("ui8 ",
//   "flt "). A key appears once; "#KEY" (the number of keys) is added by the table itself.
// - "bytes": the value in hex, as the SMC stores it (big-endian integers and fixed-point values,
//   host-order floats), 1..32 bytes; its length is the key's size.
// - "values" (optional): a non-empty list of hex values of the key's size. Value reads answer
//   them in turn, one per read, and then repeat the last. Without it, reads answer "bytes".
// - "loop" (optional, with "values"): true starts the list again after its last value, so a
//   demo keeps moving however long it runs.
// - "result" (optional): an SMC result byte, 1..255, answered to every command about the key.
// - "fail" (optional): a kernel-call code, non-zero (signed or unsigned 32-bit), that every
//   exchange about the key fails with.
// - Writes (command 6) of the key's size replace its value, and end its "values" sequence.
// Fields other than these are ignored, so files may carry notes or fields of newer versions;
// the known fields are checked strictly. A field written twice in one object counts once, with
// its last value (the JSON reader keeps the last).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "smc/smc_key_table.h"
#include "smc/smc_transport.h"

namespace trellis::sim {

class SimSmc final : public SmcTransport {
 public:
  // The handle `open` gives.
  static constexpr std::uint32_t kConnection = 0x534D43;  // "SMC"

  // Loads the file at `path`, which must be a regular file of at most 4 MiB. On failure returns
  // null and sets `*error` (if given) to a message that names the file and then the reason: not a
  // regular file, too large, the line and column (JSON syntax) or the field ("keys[3].bytes: odd
  // number of hex digits").
  static std::unique_ptr<SimSmc> load(const std::string& path, std::string* error);
  // The same from text in memory; messages start with the line or the field.
  static std::unique_ptr<SimSmc> parse(std::string_view text, std::string* error);

  SimSmc(const SimSmc&) = delete;
  SimSmc& operator=(const SimSmc&) = delete;

  // Gives kConnection, or fails with kSmcIOError when the file says "open": false.
  int open(std::uint32_t* connection) override;
  // Answers commands 5, 6, 8 and 9 from the table. A selector other than 2, a connection other
  // than kConnection, or an output size below 80 fail with kSmcIOError.
  int call(std::uint32_t connection, std::uint32_t selector, const SmcMessage& input, SmcMessage* output,
           std::size_t* outputSize) override;

  // A "values" sequence: `count` values of `size` bytes each at `values`. Public only so the
  // table's reader callback, a plain function, can name it.
  struct Sequence {
    const std::uint8_t* values = nullptr;
    std::uint32_t count = 0;
    std::uint32_t next = 0;
    std::uint8_t size = 0;
    bool loop = false;  // start again after the last value instead of repeating it
  };

 private:
  SimSmc() = default;

  bool openable_ = true;
  SmcKeyTable table_;
  // Filled once while loading and never resized afterwards: the table's readers point into them.
  std::vector<std::uint8_t> valueBytes_;
  std::vector<Sequence> sequences_;
};

}  // namespace trellis::sim
