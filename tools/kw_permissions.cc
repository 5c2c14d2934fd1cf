// The permission probes and requests. The probes read platform facts only through
// PrivacyPlatform; the requests talk to the user through UserInterface and open settings pages
// through Workspace.
#include "tools/kw_permissions.h"

#include "tools/resource_bundle.h"
#include "tools/user_interface.h"
#include "tools/workspace.h"

namespace trellis {

namespace {

constexpr PermissionAlertVariant kVariants[] = {
    {"Kind tips", "Accessibility Tips", "To Authorize", "Cancel",
     "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility"},
    {"Kind tips", "ScreenCapture Tips", "To Authorize", "Cancel",
     "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture"},
    {"Kind tips", "Full disk access Tips", "To Authorize", "Cancel",
     "x-apple.systempreferences:com.apple.preference.security?Privacy_AllFiles"},
};

std::string localized(std::string_view key) {
  return ResourceBundle::main().localizedString(key, kDefaultStringTable);
}

bool runsInSandbox(PrivacyPlatform& platform) {
  for (std::string_view name : kSandboxEnvironmentVariables) {
    if (platform.environmentValue(name).has_value()) return true;
  }
  return false;
}

bool screenCaptureState(PrivacyPlatform& platform) {
  if (!platform.restrictsScreenCapture()) return true;
  const std::int64_t own = platform.ownProcessId();
  std::optional<std::vector<ScreenWindow>> windows = platform.onScreenWindows();
  if (!windows || windows->empty()) return false;
  for (const ScreenWindow& window : *windows) {
    if (window.ownerPid == own) continue;
    // A window whose owner is unknown has no running application either.
    std::optional<std::string> executable =
        window.ownerPid ? platform.runningApplicationExecutableName(*window.ownerPid) : std::nullopt;
    if (!executable) continue;
    if (window.name && !window.name->empty() && *executable != kDockExecutableName && !window.isDockOrPanel) {
      return true;
    }
  }
  return false;
}

bool fullDiskAccessState(PrivacyPlatform& platform) {
  // In a container the process's home folder is the container's; the user's real one is in the
  // account record. Without a record, only the absolute probes are tried.
  std::string home = runsInSandbox(platform) ? platform.accountHomeDirectory().value_or(std::string())
                                             : platform.processHomeDirectory();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  for (std::string_view probe : kFullDiskAccessProbes) {
    std::string path;
    if (probe.front() == '/') {
      path = probe;
    } else if (home.empty()) {
      continue;
    } else {
      path = (home == "/" ? home : home + "/") + std::string(probe);
    }
    if (platform.canOpenForReading(path)) return true;
  }
  return false;
}

}  // namespace

const PermissionAlertVariant& permissionAlertVariant(PrivacyPermission permission) {
  return kVariants[static_cast<int>(permission)];
}

bool getPermissionState(PrivacyPermission permission) {
  PrivacyPlatform& platform = PrivacyPlatform::system();
  switch (permission) {
    case PrivacyPermission::kAccessibility:
      return platform.isProcessTrusted();
    case PrivacyPermission::kScreenCapture:
      return screenCaptureState(platform);
    case PrivacyPermission::kFullDiskAccess:
      return fullDiskAccessState(platform);
  }
  return false;
}

bool runPermissionAlert(PrivacyPermission permission) {
  const PermissionAlertVariant& variant = permissionAlertVariant(permission);
  AlertRequest alert;
  alert.style = AlertStyle::kWarning;
  alert.messageText = localized(variant.messageText);
  alert.informativeText = localized(variant.informativeText);
  alert.buttons = {localized(variant.firstButton), localized(variant.secondButton)};
  return UserInterface::system().runModal(alert) == kAlertFirstButtonReturn;
}

void requestPermission(PrivacyPermission permission) {
  if (getPermissionState(permission)) return;
  UserInterface::system().activateIgnoringOtherApps();
  if (!runPermissionAlert(permission)) return;
  if (permission == PrivacyPermission::kAccessibility) {
    // Asked only so that the platform offers its own prompt; the answer is not used.
    (void)PrivacyPlatform::system().isProcessTrustedWithPrompt();
  }
  // Nothing more can be done when the page does not open.
  (void)Workspace::shared().openURL(std::string(permissionAlertVariant(permission).settingsURL));
}

}  // namespace trellis
