// Class-level utilities with no instances and no state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/value.h"

namespace trellis {

class ScriptCompletion;  // tools/kw_apple_script.h

class KwTools {
 public:
  KwTools() = delete;

  // Runs the executable at `path` with `argus` unchanged and returns what it printed on standard
  // output and standard error together, decoded as UTF-8. Nothing when `path` is empty, when the
  // launch fails, or when the output is not valid UTF-8. The exit status is not examined. Blocks
  // the calling thread until the child has exited, or until the platform's time limit (30 s on
  // Linux) has passed and the child was killed; what it printed until then is returned. Safe
  // from any thread.
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

  // What the rating prompt works with: clock, main queue, preferences and the platform's rating
  // request (defined in tools/kw_rating.h; `RatingEnvironment::system()` is the process's own).
  struct RatingEnvironment;

  // Counts one launch in "AppRateExecCount" (the first call also stores "AppRateFirstLaunchTime")
  // and, from the tenth call after a reset on, when the first launch is at least 3 days old and
  // no request was made in the last 365 days, schedules the rating request on the main queue 10 s
  // later; the request stores the scheduling time + 10.0 in "AppRateLastShowTime" and 0 in
  // "AppRateExecCount" first. Preferences on the calling thread; the request on the main thread.
  static void showAppRating();
  static void showAppRating(const RatingEnvironment& environment);

  // True strictly between 2024-07-31 09:00:00 and 2024-08-01 14:00:00, machine-local time.
  static bool isAppleReview();
  static bool isAppleReview(const RatingEnvironment& environment);

  // The free-memory threshold of a settings choice: index x 2^30 bytes for 1 to 4, 524,288,000
  // bytes for any other index. Pure.
  static std::uint64_t memoryAutoFreeMinSizeWithIndex(std::int64_t index);

  // --- desktop: key press, application launch, permissions, scripts ---

  // Whether the process holds each privacy permission (tools/kw_permissions.h says how each is
  // probed). Never fails: a probe that cannot be carried out answers false. Any thread.
  static bool getPrivacyAccessibilityState();
  static bool getScreenCaptureState();
  static bool getFullDiskAccessState();
  // Nothing when the permission is held; otherwise the permission alert and, on its first button,
  // the platform prompt (accessibility) and the settings page. Main thread.
  static void requestPrivacyAccessibility();
  static void requestScreenCapture();
  static void requestFullDiskAccess();

  // When the process may post input: a key-down of virtual key `keyCode` carrying exactly
  // `flags`, then its key-up carrying only the non-coalesced flag, and true. Otherwise the
  // accessibility alert, whose first button posts the same pair and opens the settings page, and
  // false. Main thread.
  static bool pressKey(std::uint16_t keyCode, std::uint64_t flags);
  // Opens the installed application whose identifier is `bundleId`; false for anything but a
  // non-empty text, for an unknown identifier (the workspace is not asked to open anything then),
  // or when opening fails. Main thread.
  static bool openAppWithBundleId(const Value& bundleId);

  // Runs handler `funcName` of the script "apple_script.scpt" with `arguments` when that script
  // is installed in the scripts folder; otherwise does nothing and never calls `completion`.
  static void executeScriptFunc(const Value& funcName, const std::vector<Value>& arguments,
                                ScriptCompletion completion);
  static void executeScriptFunc(const Value& funcName, ScriptCompletion completion);
};

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool isValidUtf8(std::string_view text);

}  // namespace trellis
