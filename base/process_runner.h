// Starting a child process and collecting what it prints. The program installs the
// system's runner (base/services.h); tests install their own.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace trellis {

// A child to start with `ProcessRunner::runWith`.
struct ProcessRequest {
  std::string path;
  std::vector<std::string> arguments;
  // Written to the child's standard input, which then reaches its end; nothing: /dev/null. A
  // child that stops reading early ends the writing, not the run.
  std::optional<std::string> standardInput;
  // True: standard output and standard error go to /dev/null and only the exit is waited for (a
  // launcher whose program inherits its streams then cannot hold the run open).
  bool discardOutput = false;
};

// What a child left behind.
struct ProcessResult {
  // The exit status when the child exited; nothing when a signal ended it.
  std::optional<int> exitCode;
  std::string standardOutput;
  std::string standardError;
  // True when the runner stopped the child (and whatever it started) at its time limit.
  bool timedOut = false;
};

class ProcessRunner {
 public:
  virtual ~ProcessRunner() = default;

  // Runs the executable at `path` with `arguments` (not interpreted by a shell), standard output
  // and standard error together on one pipe, drained while the child runs, and waits for it to
  // exit. Returns the bytes it printed, whatever its exit status, or nothing when it could not be
  // started or had to be stopped (a runner may limit how long a child runs and how much of its
  // output is kept; see the platform's). Safe to call from any thread.
  virtual std::optional<std::string> run(const std::string& path, const std::vector<std::string>& arguments) = 0;

  // What `start` hands back, once, on the main loop: what `run` would have returned.
  using Completion = std::function<void(std::optional<std::string> output)>;
  // Starts what `run` would and returns at once; the child is watched from the main loop, which
  // goes on with other work meanwhile. Main thread only. The base runs it through `run` before it
  // returns and then calls `completion` (a runner without a loop, as tests' may be).
  virtual void start(const std::string& path, const std::vector<std::string>& arguments, Completion completion);

  // Runs the child `request` describes, standard output and standard error on separate pipes
  // drained while it runs (unless discarded), and waits for it to exit. Nothing when it could not
  // be started. Safe to call from any thread. The base answers nothing: a runner that only
  // answers `run` (as test runners may) cannot start such children.
  virtual std::optional<ProcessResult> runWith(const ProcessRequest& request);

  // The runner the process uses (base/services.h).
  static ProcessRunner& system();
};

}  // namespace trellis
