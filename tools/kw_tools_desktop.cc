// KwTools' desktop operations: the permission probes and requests, the synthetic key press, the
// application launch and the shortcut to the fixed script. Platform facts come through the
// desktop interfaces (PrivacyPlatform, UserInterface, Workspace, KeyEventPoster).
#include "model/value.h"
#include "tools/key_events.h"
#include "tools/kw_apple_script.h"
#include "tools/kw_permissions.h"
#include "tools/kw_tools.h"
#include "tools/user_interface.h"
#include "tools/workspace.h"

namespace trellis {

namespace {

constexpr std::string_view kFixedScript = "apple_script.scpt";

void postKeyPair(std::uint16_t keyCode, std::uint64_t flags) {
  KeyEventPoster& poster = KeyEventPoster::system();
  // A pair that cannot be posted has nobody to be reported to: the caller's answer is the trust.
  (void)poster.post(KeyboardEvent{keyCode, /*keyDown=*/true, flags});
  (void)poster.post(KeyboardEvent{keyCode, /*keyDown=*/false, kEventFlagMaskNonCoalesced});
}

}  // namespace

bool KwTools::getPrivacyAccessibilityState() { return getPermissionState(PrivacyPermission::kAccessibility); }
bool KwTools::getScreenCaptureState() { return getPermissionState(PrivacyPermission::kScreenCapture); }
bool KwTools::getFullDiskAccessState() { return getPermissionState(PrivacyPermission::kFullDiskAccess); }
void KwTools::requestPrivacyAccessibility() { requestPermission(PrivacyPermission::kAccessibility); }
void KwTools::requestScreenCapture() { requestPermission(PrivacyPermission::kScreenCapture); }
void KwTools::requestFullDiskAccess() { requestPermission(PrivacyPermission::kFullDiskAccess); }

bool KwTools::pressKey(std::uint16_t keyCode, std::uint64_t flags) {
  if (PrivacyPlatform::system().isProcessTrustedWithPrompt()) {
    postKeyPair(keyCode, flags);
    return true;
  }
  UserInterface::system().activateIgnoringOtherApps();
  if (runPermissionAlert(PrivacyPermission::kAccessibility)) {
    postKeyPair(keyCode, flags);
    // Nothing more can be done when the page does not open.
    (void)Workspace::shared().openURL(
        std::string(permissionAlertVariant(PrivacyPermission::kAccessibility).settingsURL));
  }
  return false;
}

bool KwTools::openAppWithBundleId(const Value& bundleId) {
  const std::string* identifier = bundleId.string();
  if (identifier == nullptr || identifier->empty()) return false;
  Workspace& workspace = Workspace::shared();
  std::optional<std::string> location = workspace.urlForApplicationWithBundleIdentifier(*identifier);
  return location && workspace.openURL(*location);
}

void KwTools::executeScriptFunc(const Value& funcName, const std::vector<Value>& arguments,
                                ScriptCompletion completion) {
  if (!KwAppleScript::scriptFileHasInstalled(Value(kFixedScript))) return;
  KwAppleScript::executeScriptWithFile(Value(kFixedScript), funcName, arguments, std::move(completion));
}

void KwTools::executeScriptFunc(const Value& funcName, ScriptCompletion completion) {
  executeScriptFunc(funcName, Array{}, std::move(completion));
}

}  // namespace trellis
