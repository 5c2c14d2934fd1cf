#include "platform/linux/io/paths.h"

#include <algorithm>
#include <system_error>

namespace trellis::lnx {

namespace fs = std::filesystem;

std::string underRoot(std::string_view root, std::string_view path) {
  while (!root.empty() && root.back() == '/') root.remove_suffix(1);
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  std::string joined(root);
  joined += '/';
  joined += path;
  return joined;
}

std::optional<fs::path> resolvedPath(const fs::path& path) {
  std::error_code error;
  fs::path target = fs::canonical(path, error);
  if (error) return std::nullopt;
  return target;
}

bool pathExists(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

std::optional<std::vector<std::string>> folderEntries(const fs::path& folder) {
  std::error_code error;
  fs::directory_iterator it(folder, error);
  if (error) return std::nullopt;
  std::vector<std::string> names;
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) return std::nullopt;
    names.push_back(it->path().filename().string());
  }
  if (error) return std::nullopt;
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace trellis::lnx
