#include "base/process_runner.h"

#include "base/services.h"

namespace trellis {

ProcessRunner& ProcessRunner::system() {
  return required(installedServices().processRunner, "the process runner");
}

std::optional<ProcessResult> ProcessRunner::runWith(const ProcessRequest&) { return std::nullopt; }

}  // namespace trellis
