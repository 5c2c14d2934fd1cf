// Starting a child process and collecting what it prints. The system implementation lives in the
// platform folder; tests may install another one.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace trellis {

class ProcessRunner {
 public:
  virtual ~ProcessRunner() = default;

  // Runs the executable at `path` with `arguments` (not interpreted by a shell), standard output
  // and standard error together on one pipe, drained while the child runs, and waits for it to
  // exit. Returns the bytes it printed, whatever its exit status, or nothing when it could not be
  // started. Safe to call from any thread.
  virtual std::optional<std::string> run(const std::string& path, const std::vector<std::string>& arguments) = 0;

  // The runner the process uses: the platform's own unless one was installed for tests.
  static ProcessRunner& system();
  // Installs `runner` in place of the platform's (nullptr restores it). Not thread-safe: for
  // tests and start-up only.
  static void setSystem(ProcessRunner* runner);
};

// The platform's runner (defined by the platform folder).
ProcessRunner& platformProcessRunner();

}  // namespace trellis
