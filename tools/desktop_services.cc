// The desktop services the process uses, from the registry (base/services.h).
#include "base/services.h"
#include "tools/key_events.h"
#include "tools/kw_permissions.h"
#include "tools/resource_bundle.h"
#include "tools/user_interface.h"
#include "tools/workspace.h"

namespace trellis {

UserInterface& UserInterface::system() { return required(installedServices().userInterface, "the user interface"); }

ResourceBundle& ResourceBundle::main() { return required(installedServices().resources, "the resource bundle"); }

Workspace& Workspace::shared() { return required(installedServices().workspace, "the workspace"); }

KeyEventPoster& KeyEventPoster::system() { return required(installedServices().keyEvents, "the key event poster"); }

PrivacyPlatform& PrivacyPlatform::system() { return required(installedServices().privacy, "the privacy platform"); }

}  // namespace trellis
