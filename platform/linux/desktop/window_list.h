// The window list of an X11 display, read with xprop (the window manager's _NET_CLIENT_LIST and
// each window's name, owner and state), so that no X library is linked. xprop runs as a child
// process through a ProcessRunner. Safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/process_runner.h"
#include "tools/kw_permissions.h"

namespace trellis::lnx {

class XpropWindowList {
 public:
  // `xprop` is the program's path; `runner` must outlive this object.
  XpropWindowList(std::string xprop, ProcessRunner& runner) : xprop_(std::move(xprop)), runner_(runner) {}

  // The managed windows that are on screen (not minimised, and on the current desktop or on all
  // of them), in the window manager's order. A window's name is its _NET_WM_NAME, else its
  // WM_NAME; its owner is _NET_WM_PID; dock and desktop windows are marked. Nothing when xprop
  // fails or the display has no window manager's client list; a window that went away meanwhile
  // is left out.
  std::optional<std::vector<ScreenWindow>> list();

 private:
  std::string xprop_;
  ProcessRunner& runner_;
};

}  // namespace trellis::lnx
