// Who is logged in at the console, and the start-up wait for somebody to be.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace trellis {

class ConsoleUserSource {
 public:
  virtual ~ConsoleUserSource() = default;
  // The login name of the user at the console, "loginWindow" while only a login screen is
  // shown, or nothing (nobody, or the query failed).
  virtual std::optional<std::string> consoleUser() = 0;
  // Blocks until the answer may have changed, or at most `limit`. Must not spin: a source that
  // cannot be told of changes sleeps for `limit`.
  virtual void waitForChange(std::chrono::milliseconds limit) = 0;
};

// The console user's name, or nothing when nobody is logged in at the console, the query fails,
// or the name is exactly "loginWindow".
std::optional<std::string> currentConsoleUser(ConsoleUserSource& source);

// Returns once `currentConsoleUser` yields a name. Probes once, then again after each change
// notification, and at least once a second.
void waitForConsoleUser(ConsoleUserSource& source);

}  // namespace trellis
