// The CPU record's dictionary form by property name, as `trellis metrics cpu --json` prints it.
#include <gtest/gtest.h>

#include "cli/metrics_commands.h"
#include "model/mapping.h"

namespace trellis {
namespace {

TEST(CpuRecordFormTest, EveryPropertyByNameWithItsKindAndAbsentListsLeftOut) {
  CpuModel fresh;
  Dictionary freshForm = mj_keyValues(fresh);
  EXPECT_EQ(freshForm.count("brand"), 0u);
  EXPECT_EQ(freshForm.count("cpusUsageArr"), 0u);
  EXPECT_EQ(freshForm.count("loadAverage"), 0u);
  EXPECT_EQ(freshForm.at("cpuCount"), Value(std::int32_t{0}));
  EXPECT_EQ(freshForm.at("temperature"), Value(0.0f));

  CpuModel model;
  model.setCpuCount(2);
  model.setTaskCount(67);
  model.setThreadCount(86);
  model.setUserUsagePercent(130);  // stored unchanged, read clamped
  model.setSystemUsagePercent(-4);
  model.setIdlePercent(27);
  model.setTemperature(45.75f);
  model.setBrand("AMD EPYC");
  auto usage = std::make_shared<CpuUsage>();
  usage->setUser(59);
  usage->setSystem(12);
  usage->setIdle(29);
  model.setCpusUsageArr(std::vector<std::shared_ptr<CpuUsage>>{usage});
  model.setLoadAverage(std::vector<double>{0.5, 1.25, 3.0});

  Dictionary expected{{"cpuCount", 2},
                      {"taskCount", 67},
                      {"threadCount", 86},
                      {"userUsagePercent", 100},
                      {"systemUsagePercent", 0},
                      {"idlePercent", 27},
                      {"temperature", 45.75f},
                      {"brand", "AMD EPYC"},
                      {"cpusUsageArr", Array{Dictionary{{"user", 59}, {"system", 12}, {"idle", 29}}}},
                      {"loadAverage", Array{0.5, 1.25, 3.0}}};
  EXPECT_EQ(mj_keyValues(model), expected);
  EXPECT_EQ(cli::cpuRecordJson(model),
            R"({"brand":"AMD EPYC","cpuCount":2,"cpusUsageArr":[{"idle":29,"system":12,"user":59}],)"
            R"("idlePercent":27,"loadAverage":[0.5,1.25,3.0],"systemUsagePercent":0,"taskCount":67,)"
            R"("temperature":45.75,"threadCount":86,"userUsagePercent":100})");
}

}  // namespace
}  // namespace trellis
