// A stand-in for the applesmc driver, for the Linux suites of the SMC transports. Test thread only.
#pragma once

#include <cstdint>
#include <string>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "platform/linux/sensors/applesmc_smc.h"

namespace trellis::testing {

// A stand-in for the applesmc driver's raw key attributes over a key list sorted by name, shown as
// the driver shows them: text attributes end in a newline, key_at_index takes a decimal index
// below the number of keys (EINVAL otherwise), the other key_at_index attributes describe the
// selected key. Another process moving the selection, read errors and refused opens on request.
struct FakeAppleSmcKey {
  std::string name;
  std::string type;
  std::vector<std::uint8_t> value;
};
// A key list shaped like an Intel Mac's, with a value longer than a message carries: sorted by
// name, "ALV0" (40 bytes) comes first and "Th0H" last.
std::vector<FakeAppleSmcKey> fakeMacKeys();

class FakeAppleSmcDriver final : public lnx::AppleSmcFiles {
 public:
  using Attribute = lnx::AppleSmcAttribute;
  using Access = lnx::AppleSmcAccess;
  // Faults of one attribute: before each of its next `moves` reads (every read when negative)
  // another process selects `moveTo`; its next `errors` reads fail with `error`.
  struct Faults {
    std::uint32_t moveTo = 0;
    int moves = 0;
    int error = 0;
    int errors = 0;
  };

  explicit FakeAppleSmcDriver(std::vector<FakeAppleSmcKey> keys);
  std::uint32_t indexOf(const std::string& name) const;

  int open(Attribute attribute, Access access) override;
  ssize_t read(Attribute attribute, void* buffer, std::size_t size) override;
  ssize_t write(Attribute attribute, const void* bytes, std::size_t size) override;
  std::string describe(Attribute attribute) const override;

  std::vector<FakeAppleSmcKey> keys;
  std::string keyCountText;  // what key_count shows (the SMC's "#KEY")
  std::uint32_t selected = 0;
  int operations = 0;  // reads and writes
  std::map<Attribute, Faults> faults;
  std::map<std::pair<Attribute, Access>, int> refusals;  // errno values of opens

 private:
  std::set<std::pair<Attribute, Access>> opened_;
};

}  // namespace trellis::testing
