#include "base/process_runner.h"

#include <utility>

#include "base/services.h"

namespace trellis {

ProcessRunner& ProcessRunner::system() {
  return required(installedServices().processRunner, "the process runner");
}

void ProcessRunner::start(const std::string& path, const std::vector<std::string>& arguments, Completion completion) {
  std::optional<std::string> output = run(path, arguments);
  if (completion) completion(std::move(output));
}

std::optional<ProcessResult> ProcessRunner::runWith(const ProcessRequest&) { return std::nullopt; }

}  // namespace trellis
