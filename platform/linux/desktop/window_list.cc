// xprop prints one "NAME = VALUE" line per property it found ("NAME:  not found." otherwise).
// Formats are forced with -f so the values read the same whatever their declared types: window
// IDs in hex, numbers in decimal, atoms by name, and names as C-escaped quoted text.
#include "platform/linux/desktop/window_list.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <string_view>

namespace trellis::lnx {

namespace {

constexpr std::uint64_t kAllDesktops = 0xFFFFFFFF;

std::map<std::string, std::string, std::less<>> properties(const std::string& output) {
  std::map<std::string, std::string, std::less<>> found;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = std::min(output.find('\n', start), output.size());
    std::string_view line(output.data() + start, end - start);
    size_t equals = line.find(" = ");
    if (equals != std::string_view::npos) found.emplace(line.substr(0, equals), line.substr(equals + 3));
    start = end + 1;
  }
  return found;
}

// A quoted, C-escaped text: "a \"b\" \\ c \303\274" is a "b" \ c ü.
std::optional<std::string> quotedText(std::string_view value) {
  if (value.size() < 2 || value.front() != '"') return std::nullopt;
  std::string text;
  for (size_t i = 1; i < value.size(); ++i) {
    char c = value[i];
    if (c == '"') return text;
    if (c != '\\' || i + 1 >= value.size()) {
      text += c;
      continue;
    }
    c = value[++i];
    if (c >= '0' && c <= '7') {
      int code = 0;
      for (int digits = 0; digits < 3 && i < value.size() && value[i] >= '0' && value[i] <= '7'; ++digits, ++i) {
        code = code * 8 + (value[i] - '0');
      }
      --i;
      text += static_cast<char>(code);
    } else {
      text += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
    }
  }
  return std::nullopt;  // no closing quote
}

std::optional<std::uint64_t> number(std::string_view text) {
  std::string digits(text);
  if (digits.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(digits.c_str(), &end, 0);
  if (errno != 0 || end == digits.c_str() || *end != '\0') return std::nullopt;
  return value;
}

std::vector<std::string> items(std::string_view list) {
  std::vector<std::string> result;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = std::min(list.find(',', start), list.size());
    std::string_view item = list.substr(start, end - start);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    if (!item.empty()) result.emplace_back(item);
    start = end + 1;
  }
  return result;
}

}  // namespace

std::optional<std::vector<ScreenWindow>> XpropWindowList::list() {
  ProcessRequest root;
  root.path = xprop_;
  root.arguments = {"-root", "-notype", "-f", "_NET_CLIENT_LIST", "32x", "-f", "_NET_CURRENT_DESKTOP", "32c",
                    "_NET_CLIENT_LIST", "_NET_CURRENT_DESKTOP"};
  std::optional<ProcessResult> rootResult = runner_.runWith(root);
  if (!rootResult || rootResult->exitCode != 0) return std::nullopt;
  auto rootProperties = properties(rootResult->standardOutput);
  auto clients = rootProperties.find("_NET_CLIENT_LIST");
  if (clients == rootProperties.end()) return std::nullopt;
  std::string_view idList = clients->second;
  if (idList.starts_with("window id # ")) idList.remove_prefix(12);
  std::optional<std::uint64_t> currentDesktop;
  if (auto desktop = rootProperties.find("_NET_CURRENT_DESKTOP"); desktop != rootProperties.end()) {
    currentDesktop = number(desktop->second);
  }

  std::vector<ScreenWindow> windows;
  for (const std::string& id : items(idList)) {
    if (!number(id)) return std::nullopt;  // not a list of window IDs
    ProcessRequest request;
    request.path = xprop_;
    request.arguments = {"-id", id, "-notype",
                         "-f", "_NET_WM_NAME", "8u", "-f", "WM_NAME", "8s", "-f", "_NET_WM_PID", "32c",
                         "-f", "_NET_WM_DESKTOP", "32c", "-f", "_NET_WM_WINDOW_TYPE", "32a",
                         "-f", "_NET_WM_STATE", "32a",
                         "_NET_WM_NAME", "WM_NAME", "_NET_WM_PID", "_NET_WM_DESKTOP", "_NET_WM_WINDOW_TYPE",
                         "_NET_WM_STATE"};
    std::optional<ProcessResult> result = runner_.runWith(request);
    if (!result || result->exitCode != 0) continue;  // gone meanwhile
    auto found = properties(result->standardOutput);
    auto value = [&](std::string_view name) -> std::optional<std::string_view> {
      auto it = found.find(name);
      if (it == found.end()) return std::nullopt;
      return std::string_view(it->second);
    };

    bool hidden = false;
    if (auto state = value("_NET_WM_STATE")) {
      for (const std::string& atom : items(*state)) hidden = hidden || atom == "_NET_WM_STATE_HIDDEN";
    }
    std::optional<std::uint64_t> desktop = value("_NET_WM_DESKTOP") ? number(*value("_NET_WM_DESKTOP")) : std::nullopt;
    if (hidden || (desktop && currentDesktop && *desktop != kAllDesktops && *desktop != *currentDesktop)) continue;

    ScreenWindow window;
    if (auto name = value("_NET_WM_NAME")) window.name = quotedText(*name);
    if (!window.name) {
      if (auto name = value("WM_NAME")) window.name = quotedText(*name);
    }
    if (auto pid = value("_NET_WM_PID")) {
      if (std::optional<std::uint64_t> owner = number(*pid); owner && *owner > 0 && *owner <= 0x7fffffff) {
        window.ownerPid = static_cast<std::int64_t>(*owner);
      }
    }
    if (auto type = value("_NET_WM_WINDOW_TYPE")) {
      for (const std::string& atom : items(*type)) {
        window.isDockOrPanel = window.isDockOrPanel || atom == "_NET_WM_WINDOW_TYPE_DOCK" ||
                               atom == "_NET_WM_WINDOW_TYPE_DESKTOP";
      }
    }
    windows.push_back(std::move(window));
  }
  return windows;
}

}  // namespace trellis::lnx
