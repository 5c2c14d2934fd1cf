// Cost of the hwmon transport on the committed desktop machine (tests/fixtures/hwmon/intel-desktop):
// opening it (the sysfs walk), and one full reading, every key's value read once through `call`
// as the client's sampling cycle would. Single-threaded.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "platform/linux/sensors/hwmon_smc.h"

namespace trellis::lnx {
namespace {

const std::string kMachine = std::string(TRELLIS_TEST_FIXTURES) + "/hwmon/intel-desktop";

void BM_HwmonOpen(benchmark::State& state) {
  for (auto _ : state) {
    auto smc = HwmonSmc::open(kMachine, {.mainDisk = "nvme0n1", .files = nullptr});
    if (smc == nullptr) {
      state.SkipWithError("fixture machine not found");
      return;
    }
    benchmark::DoNotOptimize(smc.get());
  }
}
BENCHMARK(BM_HwmonOpen);

void BM_HwmonFullReading(benchmark::State& state) {
  auto smc = HwmonSmc::open(kMachine, {.mainDisk = "nvme0n1", .files = nullptr});
  if (smc == nullptr) {
    state.SkipWithError("fixture machine not found");
    return;
  }
  std::uint32_t connection = 0;
  smc->open(&connection);

  // The read requests, prepared as the client prepares them after its key-information cache is warm.
  std::vector<SmcMessage> requests;
  for (const HwmonKeySource& source : smc->sources()) {
    SmcMessage info{};
    SmcMessage reply{};
    std::size_t size = sizeof reply;
    info.key = smcFourCC(source.key.c_str());
    info.command = kSmcKeyInformation;
    if (smc->call(connection, kSmcSelector, info, &reply, &size) != 0 || reply.result != 0) {
      state.SkipWithError("key information failed");
      return;
    }
    SmcMessage read{};
    read.key = info.key;
    read.command = kSmcReadValue;
    read.dataSize = reply.dataSize;
    requests.push_back(read);
  }

  SmcMessage reply{};
  for (auto _ : state) {
    for (const SmcMessage& request : requests) {
      std::size_t size = sizeof reply;
      if (smc->call(connection, kSmcSelector, request, &reply, &size) != 0 || reply.result != 0) {
        state.SkipWithError("read failed");
        return;
      }
      benchmark::DoNotOptimize(reply);
    }
  }
  state.counters["keys"] = static_cast<double>(requests.size());
  state.counters["reads/s"] =
      benchmark::Counter(static_cast<double>(requests.size()), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_HwmonFullReading);

}  // namespace
}  // namespace trellis::lnx
