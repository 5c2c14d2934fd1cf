// The workspace on a Linux desktop. Applications are desktop entries ("org.gnome.Calculator" is
// the entry org.gnome.Calculator.desktop) found in the XDG application folders
// ($XDG_DATA_HOME/applications first, then each of $XDG_DATA_DIRS), and an application's
// location is its entry's path. Opening an entry launches it with `gio launch` (or `gtk-launch`);
// other locations open with xdg-open. The privacy settings pages map to the cross-desktop
// "settings://" links when the desktop has a handler for them; otherwise the page is logged.
// Tools run as child processes through a ProcessRunner. Safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/process_runner.h"
#include "platform/linux/io/environment.h"
#include "tools/workspace.h"

namespace trellis::lnx {

class XdgWorkspace final : public Workspace {
 public:
  // The programs used; a missing one makes its kind of opening fail.
  struct Tools {
    std::optional<std::string> xdgOpen;
    std::optional<std::string> xdgMime;
    std::optional<std::string> gio;
    std::optional<std::string> gtkLaunch;
  };
  // Each tool looked up in PATH.
  static Tools findTools();

  // `runner` must outlive this object.
  XdgWorkspace(EnvironmentLookup environment, Tools tools, ProcessRunner& runner)
      : environment_(std::move(environment)), tools_(std::move(tools)), runner_(runner) {}

  // True when the launcher or xdg-open exited with status 0.
  bool openURL(const std::string& url) override;
  // The path of the first desktop entry of that ID in the application folders, or nothing when
  // there is none, the first one found is hidden (deleted for this user) or is not an
  // application, or the ID holds "/" or "..", or starts with ".".
  std::optional<std::string> urlForApplicationWithBundleIdentifier(const std::string& bundleId) override;

  // The Linux page of one of the permission alerts' settings URLs; nothing when there is none.
  static std::optional<std::string> settingsTarget(std::string_view url);

 private:
  bool run(const std::optional<std::string>& tool, std::vector<std::string> arguments);
  bool openSettings(const std::string& url);

  EnvironmentLookup environment_;
  Tools tools_;
  ProcessRunner& runner_;
};

}  // namespace trellis::lnx
