#include "platform/linux/io/environment.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace trellis::lnx {

EnvironmentLookup processEnvironment() {
  return [](std::string_view name) -> std::optional<std::string> {
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
}

std::optional<std::string> userDataHome(const EnvironmentLookup& environment) {
  std::optional<std::string> data = environment("XDG_DATA_HOME");
  // The XDG rules ignore a relative path here.
  if (data && !data->empty() && data->front() == '/') return *data;
  std::optional<std::string> home = environment("HOME");
  if (!home || home->empty()) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd record {};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &record, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr || found->pw_dir[0] == '\0') {
      return std::nullopt;
    }
    home = found->pw_dir;
  }
  return *home + "/.local/share";
}

}  // namespace trellis::lnx
