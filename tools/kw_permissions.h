// The three privacy permissions (accessibility control, screen capture, full disk access): how
// each is probed, the alert that explains a missing one, and the request that shows it and opens
// the matching settings page. KwTools offers these as its class operations. The platform facts
// they need come through PrivacyPlatform. Probes may run on any thread; the alert and the requests
// belong to the main thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trellis {

enum class PrivacyPermission { kAccessibility, kScreenCapture, kFullDiskAccess };

// One variant of the permission alert. Texts are keys of the main bundle's default string table.
struct PermissionAlertVariant {
  std::string_view messageText;
  std::string_view informativeText;
  std::string_view firstButton;   // acts: the platform prompt (accessibility) and the settings page
  std::string_view secondButton;  // "Cancel"
  std::string_view settingsURL;
};

const PermissionAlertVariant& permissionAlertVariant(PrivacyPermission permission);

// The files tried, in order, for full disk access; the relative ones are under the home folder.
// The first four are the ones the platform protects; the last two are where Linux keeps what only
// a fully trusted process may read.
inline constexpr std::string_view kFullDiskAccessProbes[] = {
    "Library/Safari/CloudTabs.db",
    "Library/Safari/Bookmarks.plist",
    "/Library/Application Support/com.apple.TCC/TCC.db",
    "/Library/Preferences/com.apple.TimeMachine.plist",
    "/etc/shadow",
    "/root",
};

// A window on screen as the window list describes it.
struct ScreenWindow {
  std::optional<std::string> name;         // nothing: the window has no name property
  std::optional<std::int64_t> ownerPid;    // nothing: its owner is not known
  bool isDockOrPanel = false;              // a dock, panel or desktop background window
};

// What the probes ask of the platform. Implementations are safe from any thread.
class PrivacyPlatform {
 public:
  virtual ~PrivacyPlatform() = default;

  // Whether the process may post input events, asked without any prompt.
  virtual bool isProcessTrusted() = 0;
  // The same question, letting the platform offer its own prompt and list the application.
  virtual bool isProcessTrustedWithPrompt() = 0;
  // False on a system that does not restrict screen capture at all (it is then always granted).
  virtual bool restrictsScreenCapture() = 0;
  virtual std::int64_t ownProcessId() = 0;
  // The windows on screen, front to back; nothing when the list cannot be had.
  virtual std::optional<std::vector<ScreenWindow>> onScreenWindows() = 0;
  // The file name of the executable of the application running as `pid`; nothing when none runs.
  virtual std::optional<std::string> runningApplicationExecutableName(std::int64_t pid) = 0;
  virtual std::optional<std::string> environmentValue(std::string_view name) = 0;
  // The home folder in the current user's account record; nothing when there is no record.
  virtual std::optional<std::string> accountHomeDirectory() = 0;
  // The process's own home folder (inside a sandbox container, the container's).
  virtual std::string processHomeDirectory() = 0;
  // Opens `path` read-only and closes it again; true when it opened.
  virtual bool canOpenForReading(const std::string& path) = 0;

  // The one the process uses (base/services.h).
  static PrivacyPlatform& system();
};


// The environment variables that tell the process runs in a sandbox container: the platform's
// own, and Flatpak's. Either one having a value is enough.
inline constexpr std::string_view kSandboxEnvironmentVariables[] = {"APP_SANDBOX_CONTAINER_ID", "FLATPAK_ID"};

// The state probes. None fails: a probe that cannot be carried out answers false (not granted).
bool getPermissionState(PrivacyPermission permission);

// Shows the permission alert of `permission` modally; true when its first button was chosen.
bool runPermissionAlert(PrivacyPermission permission);

// Does nothing when the permission is held. Otherwise brings the application to the front, shows
// the alert and, on its first button, asks the platform prompt (accessibility only) and opens the
// settings page. "Cancel" does nothing more.
void requestPermission(PrivacyPermission permission);

// The "Dock" the window rule skips: the executable whose windows are the system's own dock.
inline constexpr std::string_view kDockExecutableName = "Dock";

}  // namespace trellis
