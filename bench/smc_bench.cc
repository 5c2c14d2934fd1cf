// What one SMC reading costs in the client over the simulated transport with the demo table: a
// typed read of a key whose information is cached (the fan-speed and disk path), and a raw
// two-byte read (the CPU temperature path). Single-threaded.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/linux/services.h"
#include "smc/smc_client.h"

namespace trellis {
namespace {

// The demo table, installed as the process's transport (as the agent installs it) with the
// connection open.
void demoSmc() {
  static std::unique_ptr<lnx::LinuxServices> platform = [] {
    lnx::ServiceOptions options;
    options.smc = std::string("sim:") + TRELLIS_SHARE + "/demo-smc.json";
    std::string error;
    auto built = lnx::LinuxServices::create(options, &error);
    if (built == nullptr) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::abort();
    }
    return built;
  }();
  SmcResetProcessStateForTesting();
  installServices(platform->services());
  if (TlxOpen() != 0) std::abort();
}

// The keys a sampling cycle reads by name before "TH0x", so its cache entry sits where it
// would in the agent.
constexpr const char* kEarlierKeys[] = {"Tp09", "Tp0T", "Tp01", "Tp05", "Tp0D", "Tp0H", "Tp0L", "Tc0a",
                                        "Tc0b", "Tc0x", "Tc0z", "Tc7a", "Tc7b", "Tc7x", "Tc7z", "Tc8a",
                                        "Tc8b", "Tc9a", "Tc9b", "Tc9x", "Tc9z", "F0Ac", "F1Ac"};

void BM_TypedReadCached(benchmark::State& state) {
  demoSmc();
  const std::uint32_t connection = TlxConnection();
  SmcKeyValue value;
  if (state.range(0) != 0) {
    for (const char* key : kEarlierKeys) benchmark::DoNotOptimize(SmcReadKey(key, &value, connection));
  }
  if (SmcReadKey("TH0x", &value, connection) != 0) std::abort();  // caches its information
  for (auto _ : state) {
    const int rc = SmcReadKey("TH0x", &value, connection);
    benchmark::DoNotOptimize(rc);
    benchmark::DoNotOptimize(SmcValueToFloat(value));
  }
}
// 0: the key is the cache's first entry; 1: it comes after the 23 keys of a cycle.
BENCHMARK(BM_TypedReadCached)->Arg(0)->Arg(1);

void BM_RawRead(benchmark::State& state) {
  demoSmc();
  const std::uint32_t code = smcKeyCode("TC0P");
  std::uint8_t bytes[2];
  for (auto _ : state) {
    std::uint8_t size = sizeof bytes;
    const int rc = TlxReadKey(code, bytes, &size, /*askInfo=*/false);
    benchmark::DoNotOptimize(rc);
    benchmark::DoNotOptimize(TlxDecodeSp78Shifted(bytes));
  }
}
BENCHMARK(BM_RawRead);

void BM_RawReadWithInfo(benchmark::State& state) {
  demoSmc();
  const std::uint32_t code = smcKeyCode("F0ID");
  std::uint8_t bytes[20];
  for (auto _ : state) {
    std::uint8_t size = sizeof bytes;
    const int rc = TlxReadKey(code, bytes, &size, /*askInfo=*/true);
    benchmark::DoNotOptimize(rc);
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(BM_RawReadWithInfo);

}  // namespace
}  // namespace trellis
