// Choosing the power-management tool on small file-system trees built in a scratch folder, and
// running what was chosen. Test thread only.
#include "platform/linux/system/power_command.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/services.h"
#include "tools/kw_tools.h"

namespace trellis::lnx {
namespace {

using ::testing::ElementsAre;
using ::testing::Optional;

// A scratch file-system root, removed with its contents.
class FixtureRoot {
 public:
  FixtureRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "trellis-power-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
  }
  ~FixtureRoot() {
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
  }
  const std::string& root() const { return root_; }

  // Installs at `path` (absolute, inside the root) a script that prints its name and arguments.
  std::string tool(const std::string& path, mode_t mode = 0755) const {
    std::string file = root_ + path;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    std::ofstream(file) << "#!/bin/sh\necho \"$(basename \"$0\") $*\"\n";
    ::chmod(file.c_str(), mode);
    return file;
  }
  void folder(const std::string& path) const { std::filesystem::create_directories(root_ + path); }
  void link(const std::string& path, const std::string& target) const {
    std::filesystem::create_directories(std::filesystem::path(root_ + path).parent_path());
    std::filesystem::create_symlink(target, root_ + path);
  }

 private:
  std::string root_;
};

std::optional<std::string> runCommand(const PowerCommand& command) {
  return KwTools::executeShellWithLauchPath(command.launchPath, command.arguments);
}

TEST(PowerCommandTest, PmsetWinsWhenInstalled) {
  FixtureRoot fs;
  ASSERT_FALSE(fs.root().empty());
  std::string pmset = fs.tool("/usr/bin/pmset");
  fs.tool("/usr/bin/powerprofilesctl");

  PowerCommand on = powerCommandUnder(fs.root(), true);
  PowerCommand off = powerCommandUnder(fs.root(), false);
  EXPECT_EQ(on.launchPath, pmset);
  EXPECT_THAT(on.arguments, ElementsAre("-a", "lowpowermode", "1"));
  EXPECT_EQ(off.launchPath, pmset);
  EXPECT_THAT(off.arguments, ElementsAre("-a", "lowpowermode", "0"));
  EXPECT_THAT(runCommand(on), Optional(std::string("pmset -a lowpowermode 1\n")));

  // A trailing slash on the root changes nothing.
  EXPECT_EQ(powerCommandUnder(fs.root() + "/", true).launchPath, pmset);
}

TEST(PowerCommandTest, PowerProfilesDaemonIsSearchedInFolderOrder) {
  FixtureRoot fs;
  ASSERT_FALSE(fs.root().empty());
  std::string inBin = fs.tool("/bin/powerprofilesctl");
  EXPECT_EQ(powerCommandUnder(fs.root(), true).launchPath, inBin);

  std::string inLocal = fs.tool("/usr/local/bin/powerprofilesctl");
  PowerCommand on = powerCommandUnder(fs.root(), true);
  PowerCommand off = powerCommandUnder(fs.root(), false);
  EXPECT_EQ(on.launchPath, inLocal);
  EXPECT_THAT(on.arguments, ElementsAre("set", "power-saver"));
  EXPECT_EQ(off.launchPath, inLocal);
  EXPECT_THAT(off.arguments, ElementsAre("set", "balanced"));
  EXPECT_THAT(runCommand(off), Optional(std::string("powerprofilesctl set balanced\n")));

  // The usual install: /usr/bin, there as a link into the package's own folder.
  std::string real = fs.tool("/opt/ppd/powerprofilesctl");
  fs.link("/usr/bin/powerprofilesctl", real);
  EXPECT_EQ(powerCommandUnder(fs.root(), true).launchPath, fs.root() + "/usr/bin/powerprofilesctl");
  EXPECT_THAT(runCommand(powerCommandUnder(fs.root(), true)), Optional(std::string("powerprofilesctl set power-saver\n")));
}

TEST(PowerCommandTest, OnlyExecutableFilesCount) {
  FixtureRoot fs;
  ASSERT_FALSE(fs.root().empty());
  fs.tool("/usr/bin/pmset", 0644);
  fs.folder("/usr/bin/powerprofilesctl");
  fs.link("/usr/local/bin/powerprofilesctl", fs.root() + "/nowhere");
  std::string usable = fs.tool("/bin/powerprofilesctl");
  EXPECT_EQ(powerCommandUnder(fs.root(), true).launchPath, usable);

  std::filesystem::remove(usable);
  PowerCommand fallback = powerCommandUnder(fs.root(), false);
  EXPECT_EQ(fallback.launchPath, fs.root() + "/usr/bin/pmset");
  EXPECT_THAT(fallback.arguments, ElementsAre("-a", "lowpowermode", "0"));
}

TEST(PowerCommandTest, WithNeitherToolThePmsetCommandRunsAndDoesNothing) {
  FixtureRoot fs;
  ASSERT_FALSE(fs.root().empty());
  PowerCommand on = powerCommandUnder(fs.root(), true);
  EXPECT_EQ(on.launchPath, fs.root() + "/usr/bin/pmset");
  EXPECT_THAT(on.arguments, ElementsAre("-a", "lowpowermode", "1"));
  EXPECT_EQ(runCommand(on), std::nullopt);

  EXPECT_EQ(powerCommandUnder("/nonexistent-root", true).launchPath, "/nonexistent-root/usr/bin/pmset");
}

TEST(PowerCommandTest, TheProcessServicesFindTheToolUnderTheirRootUnlessOneIsGiven) {
  FixtureRoot fs;
  ASSERT_FALSE(fs.root().empty());
  std::string profiles = fs.tool("/usr/local/bin/powerprofilesctl");
  ServiceOptions options;
  options.root = fs.root();
  std::string error;
  auto services = LinuxServices::create(options, &error);
  ASSERT_NE(services, nullptr) << error;
  PowerCommand found = services->services().powerCommand(true);
  EXPECT_EQ(found.launchPath, profiles);
  EXPECT_THAT(found.arguments, ElementsAre("set", "power-saver"));

  options.powerTool = "/opt/tool";
  services = LinuxServices::create(options, &error);
  ASSERT_NE(services, nullptr) << error;
  PowerCommand given = services->services().powerCommand(false);
  EXPECT_EQ(given.launchPath, "/opt/tool");
  EXPECT_THAT(given.arguments, ElementsAre("-a", "lowpowermode", "0"));
}

}  // namespace
}  // namespace trellis::lnx
