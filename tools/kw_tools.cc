#include "tools/kw_tools.h"

#include "base/process_runner.h"

namespace trellis {

std::optional<std::string> KwTools::executeShellWithLauchPath(const std::string& path,
                                                              const std::vector<std::string>& argus) {
  if (path.empty()) return std::nullopt;
  std::optional<std::string> output = ProcessRunner::system().run(path, argus);
  if (!output || !isValidUtf8(*output)) return std::nullopt;
  return output;
}

std::optional<std::string> KwTools::executeCmd(const std::string& cmd) {
  return executeShellWithLauchPath("/bin/bash", {"-c", cmd});
}

bool isValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    unsigned char c = *p;
    if (c < 0x80) { ++p; continue; }
    int length;
    char32_t cp;
    if (c >= 0xC2 && c <= 0xDF) { length = 2; cp = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { length = 3; cp = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { length = 4; cp = c & 0x07; }
    else return false;
    if (end - p < length) return false;
    for (int i = 1; i < length; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((length == 3 && cp < 0x800) || (length == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    p += length;
  }
  return true;
}

}  // namespace trellis
