#include "base/console_user.h"

namespace trellis {

std::optional<std::string> currentConsoleUser(ConsoleUserSource& source) {
  std::optional<std::string> name = source.consoleUser();
  if (name && *name == "loginWindow") return std::nullopt;
  return name;
}

void waitForConsoleUser(ConsoleUserSource& source) {
  while (!currentConsoleUser(source)) source.waitForChange(std::chrono::seconds(1));
}

}  // namespace trellis
