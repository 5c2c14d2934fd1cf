// Probes open and close files only; nothing is kept open between calls.
#include "platform/linux/desktop/privacy.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <fstream>

#include "platform/linux/io/eintr.h"

namespace trellis::lnx {

namespace {

// Opens `path` with `flags` (close-on-exec added) and closes it again; true when it opened.
bool opens(const std::string& path, int flags) {
  int fd = retryOnEintr([&] { return ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY); });
  if (fd < 0) return false;
  (void)::close(fd);  // Linux releases the descriptor even when close reports an error
  return true;
}

}  // namespace

bool LinuxPrivacyPlatform::isProcessTrusted() { return opens(options_.uinputPath, O_WRONLY | O_NONBLOCK); }

std::int64_t LinuxPrivacyPlatform::ownProcessId() { return ::getpid(); }

std::optional<std::vector<ScreenWindow>> LinuxPrivacyPlatform::onScreenWindows() {
  auto set = [&](std::string_view name) {
    std::optional<std::string> value = environment_(name);
    return value && !value->empty();
  };
  if (set("WAYLAND_DISPLAY") || environment_("XDG_SESSION_TYPE") == std::optional<std::string>("wayland")) {
    return std::nullopt;
  }
  if (!set("DISPLAY") || !windowList_) return std::nullopt;
  return windowList_();
}

std::optional<std::string> LinuxPrivacyPlatform::runningApplicationExecutableName(std::int64_t pid) {
  if (pid <= 0) return std::nullopt;
  const std::string folder = options_.procRoot + "/" + std::to_string(pid);
  char target[4096];
  ssize_t length = ::readlink((folder + "/exe").c_str(), target, sizeof target - 1);
  if (length > 0) {
    std::string path(target, static_cast<size_t>(length));
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
    return path.substr(path.rfind('/') + 1);
  }
  std::ifstream comm(folder + "/comm");
  std::string name;
  if (!std::getline(comm, name) || name.empty()) return std::nullopt;
  return name;
}

std::optional<std::string> LinuxPrivacyPlatform::accountHomeDirectory() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd record {};
  passwd* found = nullptr;
  while (::getpwuid_r(::getuid(), &record, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr || found->pw_dir == nullptr) return std::nullopt;
  return std::string(found->pw_dir);
}

std::string LinuxPrivacyPlatform::processHomeDirectory() {
  if (std::optional<std::string> home = environment_("HOME"); home && !home->empty()) return *home;
  return accountHomeDirectory().value_or(std::string());
}

bool LinuxPrivacyPlatform::canOpenForReading(const std::string& path) {
  // Non-blocking, so that a FIFO in the way cannot hold the probe.
  return opens(path, O_RDONLY | O_NONBLOCK);
}

}  // namespace trellis::lnx
