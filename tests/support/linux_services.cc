// The Linux test programs run on the services the agent builds (over "/", no bus, no desktop):
// suites that test a Linux piece with the real runner, log and environment find them installed.
// Suites that need fakes set them over these and empty them again (support/service_setters.h).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/linux/services.h"

namespace trellis::testing {
namespace {

class LinuxServicesEnvironment final : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string error;
    services_ = lnx::LinuxServices::create(lnx::ServiceOptions{}, &error);
    ASSERT_NE(services_, nullptr) << error;
    installServices(services_->services());
  }
  void TearDown() override {
    installServices({});
    services_.reset();
  }

 private:
  std::unique_ptr<lnx::LinuxServices> services_;
};

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new LinuxServicesEnvironment);

}  // namespace
}  // namespace trellis::testing
