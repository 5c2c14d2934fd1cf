#include "base/process_runner.h"

#include <atomic>

namespace trellis {

namespace {
std::atomic<ProcessRunner*> g_override{nullptr};
}

ProcessRunner& ProcessRunner::system() {
  ProcessRunner* runner = g_override.load(std::memory_order_acquire);
  return runner != nullptr ? *runner : platformProcessRunner();
}

std::optional<ProcessResult> ProcessRunner::runWith(const ProcessRequest&) { return std::nullopt; }

void ProcessRunner::setSystem(ProcessRunner* runner) { g_override.store(runner, std::memory_order_release); }

}  // namespace trellis
