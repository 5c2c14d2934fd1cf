// Helpers shared by the SMC suites: messages built from named fields and shown field by field,
// one-exchange calls, hex texts of values, captured stream output, a stand-in for the applesmc
// driver's files, and a simulated SMC installed as the process's transport behind a wrapper that
// records exchanges and fails chosen ones. Test thread only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/sim_smc.h"
#include "smc/smc_key_table.h"
#include "smc/smc_transport.h"

namespace trellis::testing {

// The four characters of a key or type code.
std::string smcKeyText(std::uint32_t code);

// The fields of a message; the rest is zero. `key` and `type` are four characters or empty (0);
// `hex` gives the first value bytes.
struct SmcFields {
  std::uint8_t command = 0;
  std::string key{};
  std::uint8_t result = 0;
  std::uint32_t size = 0;
  std::string type{};
  std::string hex{};
  std::uint8_t attributes = 0;
  std::uint32_t index = 0;
};
SmcMessage smcMessage(const SmcFields& fields);
// Every field of `message` as text: "<command> <key> result <r> size <n> type <type> attr <a>
// index <i> bytes <hex>", the bytes up to the last non-zero one, then " junk" when a reserved or
// padding byte is not zero. A key or type that is not four printable characters shows in hex.
std::string smcText(const SmcMessage& message);

// One exchange on `transport`; the reply starts as 0xEE bytes so that what a failure leaves shows.
struct SmcExchange {
  int status = 0;
  SmcMessage reply{};
  std::size_t size = sizeof(SmcMessage);
  std::vector<std::uint8_t> bytes(std::size_t count = 32) const { return {reply.bytes, reply.bytes + count}; }
};
SmcExchange smcExchange(SmcTransport& transport, std::uint32_t connection, const SmcMessage& request);

// What a client learns about `key` on `transport`: key information, then the value, as
// "<type> <value bytes in hex>" (at most 32 bytes); "missing" for a key not found, "failed" or
// "<type> failed" when an exchange fails, "result N" or "<type> result N" for another result.
std::string smcKey(SmcTransport& transport, const std::string& key);

// `bytes` in lower-case hex.
std::string hexText(const std::vector<std::uint8_t>& bytes);
// The host-order bytes of `value` in hex, as a simulated key's "bytes".
std::string floatHex(float value);
// A fan identifier's value in hex: four zero bytes, then `name`.
std::string fanIdHex(const std::string& name);
// One key of a simulated SMC's file; `more` adds fields (", \"fail\": 1").
std::string simKey(const std::string& key, const std::string& type, const std::string& hex,
                   const std::string& more = "");

// What `body` printed to the stream it is given.
std::string printedBy(const std::function<void(std::FILE*)>& body);

// A simulated SMC installed as the process's transport (uninstalled on destruction). Every
// exchange is recorded as "<command> <key> <dataSize>" ("5 TC0P 2"; key at index: "8 #<index> 0"),
// must carry zeros outside its command's fields (a test failure otherwise), and fails with
// kSmcIOError when `failWhen` picks it.
class InstalledSimSmc final : public SmcTransport {
 public:
  ~InstalledSimSmc() override;
  // Replaces the simulation by one of `keys` (see simKey); clears the fault set-ups and the record.
  // Keys that do not load are a test failure.
  void install(const std::vector<std::string>& keys, bool openable = true);
  std::vector<std::string> takeExchanges();

  int open(std::uint32_t* connection) override;
  int call(std::uint32_t connection, std::uint32_t selector, const SmcMessage& input, SmcMessage* output,
           std::size_t* outputSize) override;

  std::function<bool(int command, const std::string& key)> failWhen;
  // A non-zero result byte that `resultWhen` gives is the whole answer: the reply holds only it,
  // the command and the key.
  std::function<std::uint8_t(int command, const std::string& key)> resultWhen;
  std::vector<std::string> exchanges;

 private:
  std::unique_ptr<sim::SimSmc> sim_;
};

}  // namespace trellis::testing
