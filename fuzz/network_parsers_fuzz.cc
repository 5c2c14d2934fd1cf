// Fuzzes the network collector's text decoders: the input is handed whole to the /proc/net/route
// parser and to the public-address reply decoder, and what each returns is checked against its
// contract. Single-threaded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "metrics/network_info.h"
#include "platform/linux/metrics/network_source.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (const auto interface = trellis::lnx::parseDefaultRouteInterface(text)) {
    // A name that can be joined into a sysfs path, and that the table really holds.
    check(!interface->empty() && interface->size() <= 15);
    check(*interface != "." && *interface != ".." && *interface != "*");
    check(interface->find_first_of("/: \t\n\r\v\f") == std::string::npos);
    check(interface->find('\0') == std::string::npos);
    check(text.find(*interface) != std::string_view::npos);
  }

  const std::string address = trellis::publicAddressFromReply(text);
  // Either the fallback or a string the reply held (the key may be written with escapes, so only
  // the length can be checked: the reply holds at least the key, the quotes and the address).
  if (address != trellis::kUnknownPublicAddress) check(address.size() + 11 <= size);
  return 0;
}
