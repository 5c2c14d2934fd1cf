// Starting child processes on Linux with posix_spawn: the platform's `ProcessRunner`. Each child
// leads a process group of its own; at the time limit that group, every descendant that left it and
// every orphan handed back to this process (the subreaper, see process_tree.h) is killed. `run`
// and `runWith` may be called from any thread at once; `start` and `stopAll` belong to the thread
// of the loop the runner is attached to.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sys/types.h>
#include <string>
#include <vector>

#include "base/process_runner.h"

namespace trellis::lnx {

class SdEventRunLoop;

class PosixProcessRunner final : public ProcessRunner {
 public:
  struct Options {
    // How long a child may run. Nothing: wait for it however long it takes. When the limit
    // passes, the child and everything it started are killed with SIGKILL and reaped, and the run
    // fails: `run` returns nothing, `runWith` a result marked timed out.
    std::optional<std::chrono::milliseconds> timeLimit;
    // How much of the child's standard output (and, for `run`, its standard error with it) and of
    // its standard error (`runWith`) is kept. The rest is read and discarded, and a last line
    // "[N more bytes discarded]" says how much.
    std::size_t outputLimit = 1024 * 1024;
    std::size_t errorLimit = 64 * 1024;
  };

  PosixProcessRunner();
  explicit PosixProcessRunner(Options options);
  ~PosixProcessRunner() override;

  // Starts the executable at `path` itself (no PATH search, no shell) with argv[0] = `path` and
  // `arguments` unchanged after it. The child gets /dev/null as standard input, one pipe as both
  // standard output and standard error, no other descriptor, an empty signal mask and every
  // signal at its default disposition. The pipe is drained while the child runs; the child is
  // always reaped before returning. Nothing when `path` is not an executable regular file, the
  // spawn fails (the error is not reported further) or the time limit passed; otherwise the bytes
  // printed (up to the limit), whatever the exit status. Leaves no descriptor open and no zombie.
  std::optional<std::string> run(const std::string& path, const std::vector<std::string>& arguments) override;

  // As `run`, with three differences: standard input is a socket carrying
  // `request.standardInput` and then its end (or /dev/null when there is none); standard output
  // and standard error are two pipes, drained together, or /dev/null both when
  // `request.discardOutput`; and the exit status comes back. Writing stops, without a signal, when
  // the child closes its input early. The time limit applies as to `run`.
  std::optional<ProcessResult> runWith(const ProcessRequest& request) override;

  // Watches the children `start` makes from `loop`, which must outlive the runner's children.
  // Without a loop, `start` runs the child through `run` before it returns.
  void attach(SdEventRunLoop& loop);
  // As `run`, the child watched from the loop (its output, its end and its time limit): returns at
  // once; `completion` runs on the loop's thread.
  void start(const std::string& path, const std::vector<std::string>& arguments, Completion completion) override;
  // Kills every child `start` made that is still running, with what it started, and reaps them;
  // their completions are not called. For the end of the process.
  void stopAll();

 private:
  class Watched;
  pid_t spawnTracked(const std::function<pid_t()>& spawn);
  void untrack(pid_t pid);
  void killTree(pid_t pid);
  void reapLeftovers();
  void finished(Watched* child);

  Options options_;
  SdEventRunLoop* loop_ = nullptr;
  std::mutex mutex_;               // guards `children_`
  std::set<pid_t> children_;       // every child of ours not yet reaped, from any thread
  std::vector<std::unique_ptr<Watched>> watched_;  // the loop's thread only
};

// True when `path` names a regular file (after following links) this process may execute.
bool isExecutableFile(const std::string& path);

// The first executable file called `name` in the folders of `searchPath` (a PATH-style list;
// empty entries are skipped, not taken as the working folder). Nothing for a name with a slash.
std::optional<std::string> findExecutable(const std::string& name, const std::string& searchPath);
// `findExecutable` over this process's PATH, or "/usr/local/bin:/usr/bin:/bin" when it has none.
std::optional<std::string> findExecutable(const std::string& name);

}  // namespace trellis::lnx
