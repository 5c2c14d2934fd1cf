// Choosing the system log: the platform's until a test installs its own, and back again.
#include "base/system_log.h"

#include <gtest/gtest.h>

#include <string_view>

namespace trellis {
namespace {

struct NullLog final : SystemLog {
  void write(int, std::string_view) override {}
};

TEST(SystemLogTest, AnInstalledLogReplacesThePlatformsUntilRemoved) {
  EXPECT_EQ(&systemLog(), &platformSystemLog());
  NullLog log;
  setSystemLog(&log);
  EXPECT_EQ(&systemLog(), &log);
  setSystemLog(nullptr);
  EXPECT_EQ(&systemLog(), &platformSystemLog());
}

}  // namespace
}  // namespace trellis
