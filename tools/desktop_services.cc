// Choosing between the platform's desktop services (user interface, resource bundle, workspace,
// key event poster, privacy facts) and ones installed for tests. Each choice is one atomic
// pointer, so any thread may ask.
#include <atomic>

#include "tools/key_events.h"
#include "tools/kw_permissions.h"
#include "tools/resource_bundle.h"
#include "tools/user_interface.h"
#include "tools/workspace.h"

namespace trellis {

namespace {
std::atomic<UserInterface*> g_userInterface{nullptr};
std::atomic<ResourceBundle*> g_bundle{nullptr};
std::atomic<Workspace*> g_workspace{nullptr};
std::atomic<KeyEventPoster*> g_poster{nullptr};
std::atomic<PrivacyPlatform*> g_privacy{nullptr};

template <typename T>
T& chosen(const std::atomic<T*>& installed, T& (*platform)()) {
  T* value = installed.load(std::memory_order_acquire);
  return value != nullptr ? *value : platform();
}
}  // namespace

UserInterface& UserInterface::system() { return chosen(g_userInterface, platformUserInterface); }
void UserInterface::setSystem(UserInterface* ui) { g_userInterface.store(ui, std::memory_order_release); }

ResourceBundle& ResourceBundle::main() { return chosen(g_bundle, platformResourceBundle); }
void ResourceBundle::setMain(ResourceBundle* bundle) { g_bundle.store(bundle, std::memory_order_release); }

Workspace& Workspace::shared() { return chosen(g_workspace, platformWorkspace); }
void Workspace::setShared(Workspace* workspace) { g_workspace.store(workspace, std::memory_order_release); }

KeyEventPoster& KeyEventPoster::system() { return chosen(g_poster, platformKeyEventPoster); }
void KeyEventPoster::setSystem(KeyEventPoster* poster) { g_poster.store(poster, std::memory_order_release); }

PrivacyPlatform& PrivacyPlatform::system() { return chosen(g_privacy, platformPrivacyPlatform); }
void PrivacyPlatform::setSystem(PrivacyPlatform* platform) { g_privacy.store(platform, std::memory_order_release); }

}  // namespace trellis
