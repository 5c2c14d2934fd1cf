// The desktop's workspace: opening locations with their handler and finding installed
// applications. The platform folder supplies the real one; tests install their own. Main thread.
#pragma once

#include <optional>
#include <string>

namespace trellis {

class Workspace {
 public:
  virtual ~Workspace() = default;

  // Opens `url` (a settings page, a web address, an application location) with the desktop's
  // handler for it; true when it was opened.
  virtual bool openURL(const std::string& url) = 0;
  // The location of the installed application whose identifier is `bundleId`, or nothing.
  virtual std::optional<std::string> urlForApplicationWithBundleIdentifier(const std::string& bundleId) = 0;

  // The one the process uses (base/services.h).
  static Workspace& shared();
};


}  // namespace trellis
