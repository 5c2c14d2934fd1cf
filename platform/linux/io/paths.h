// Paths of the system's files under a root folder ("/" on a running machine, a fixture tree in
// tests), and the std::filesystem look-ups the sysfs walks make, their errors taken as values
// (never thrown). Stateless; any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trellis::lnx {

// `path` under `root`: `root` without its trailing slashes, one slash, then `path` without its
// leading ones. ("/", "/sys" gives "/sys"; "/tmp/t/", "proc/stat" gives "/tmp/t/proc/stat".)
std::string underRoot(std::string_view root, std::string_view path);

// `path` with every link followed and made absolute; nothing when it leads nowhere.
std::optional<std::filesystem::path> resolvedPath(const std::filesystem::path& path);

// True when something exists at `path` (a link is followed); false too when that cannot be told.
bool pathExists(const std::filesystem::path& path);

// The names in `folder`, sorted; nothing when it cannot be listed to the end.
std::optional<std::vector<std::string>> folderEntries(const std::filesystem::path& folder);

}  // namespace trellis::lnx
