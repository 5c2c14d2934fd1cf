// Starting child processes on Linux with posix_spawn: the platform's `ProcessRunner`. A runner
// holds only its fixed options, so one instance may be used from any number of threads at once.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "base/process_runner.h"

namespace trellis::lnx {

class PosixProcessRunner final : public ProcessRunner {
 public:
  struct Options {
    // How long a child may run. Nothing: wait for it however long it takes. When the limit
    // passes, the child's whole process group is killed with SIGKILL and reaped, and `run`
    // returns what it had printed until then.
    std::optional<std::chrono::milliseconds> timeLimit;
  };

  PosixProcessRunner() = default;
  explicit PosixProcessRunner(Options options) : options_(options) {}

  // Starts the executable at `path` itself (no PATH search, no shell) with argv[0] = `path` and
  // `arguments` unchanged after it. The child gets /dev/null as standard input, one pipe as both
  // standard output and standard error, no other descriptor, an empty signal mask and every
  // signal at its default disposition. The pipe is drained while the child runs; the child is
  // always reaped before returning. Nothing when `path` is not an executable regular file or the
  // spawn fails (the error is not reported further); otherwise the bytes printed, whatever the
  // exit status. Leaves no descriptor open and no zombie behind.
  std::optional<std::string> run(const std::string& path, const std::vector<std::string>& arguments) override;

  // As `run`, with three differences: standard input is a socket carrying
  // `request.standardInput` and then its end (or /dev/null when there is none); standard output
  // and standard error are two pipes, drained together, or /dev/null both when
  // `request.discardOutput`; and the exit status comes back. Writing stops, without a signal, when
  // the child closes its input early. The time limit applies as to `run`.
  std::optional<ProcessResult> runWith(const ProcessRequest& request) override;

 private:
  Options options_;
};

// True when `path` names a regular file (after following links) this process may execute.
bool isExecutableFile(const std::string& path);

// The first executable file called `name` in the folders of `searchPath` (a PATH-style list;
// empty entries are skipped, not taken as the working folder). Nothing for a name with a slash.
std::optional<std::string> findExecutable(const std::string& name, const std::string& searchPath);
// `findExecutable` over this process's PATH, or "/usr/local/bin:/usr/bin:/bin" when it has none.
std::optional<std::string> findExecutable(const std::string& name);

}  // namespace trellis::lnx
