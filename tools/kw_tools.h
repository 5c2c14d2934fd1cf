// Class-level utilities with no instances and no state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trellis {

class KwTools {
 public:
  KwTools() = delete;

  // Runs the executable at `path` with `argus` unchanged and returns what it printed on standard
  // output and standard error together, decoded as UTF-8. Nothing when `path` is empty, when the
  // launch fails, or when the output is not valid UTF-8. The exit status is not examined. Blocks
  // the calling thread until the child has exited; safe from any thread.
  static std::optional<std::string> executeShellWithLauchPath(const std::string& path,
                                                              const std::vector<std::string>& argus);

  // `executeShellWithLauchPath("/bin/bash", {"-c", cmd})`.
  static std::optional<std::string> executeCmd(const std::string& cmd);

  // A byte count for people with steps of `ratio` (1024 or 1000): "0 B" for 0 bytes or ratio 0,
  // "N B" below one step, "N KB" (truncated) below two, "N.N MB" below three, "N.N GB" above;
  // a value equal to a step belongs to the larger unit. Pure; any thread.
  static std::string bytesToString(std::uint64_t bytes, std::uint32_t ratio);
  // `bytesToString(bytes, 1024)`.
  static std::string bytesToString(std::uint64_t bytes);

  // --- preferences, rating and purge helpers ---

  // --- desktop: key press, application launch, permissions, scripts ---
};

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool isValidUtf8(std::string_view text);

}  // namespace trellis
