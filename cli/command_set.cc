#include "cli/command_set.h"

#include <cstdio>
#include <memory>

#include "base/services.h"
#include "platform/linux/https/https_fetcher.h"

namespace trellis::cli {

namespace {

int run(const Command& command) {
  if (command.check) {
    if (std::optional<int> status = command.check()) return *status;
  }
  Needs needs = command.needs ? command.needs() : Needs{};

  // Declared before the fetcher, so destroyed after it: the fetcher's workers hand their results
  // to the loop, which must be there until the last of them has ended.
  std::unique_ptr<lnx::LinuxServices> platform;
  std::unique_ptr<lnx::CurlHttpsFetcher> https;
  if (needs.httpsCaFile) {
    https = std::make_unique<lnx::CurlHttpsFetcher>(lnx::CurlHttpsFetcher::Options{*needs.httpsCaFile});
    needs.services.https = https.get();
  }
  std::string error;
  platform = lnx::LinuxServices::create(needs.services, &error);
  bool smcUnavailable = false;
  if (!platform && needs.smcOptional) {
    std::fprintf(stderr, "trellis: %s\n", error.c_str());
    needs.services.smc = "none";
    platform = lnx::LinuxServices::create(needs.services, &error);
    smcUnavailable = true;
  }
  if (!platform) {
    std::fprintf(stderr, "trellis: %s\n", error.c_str());
    return 1;
  }

  ScopedServices installed([&platform](Services& services) { services = platform->services(); });
  Platform running{*platform, platform->services(), smcUnavailable};
  return command.run(running);
}

}  // namespace

int CommandSet::runParsed() const {
  for (const auto& [app, command] : commands_) {
    if (app->parsed()) return run(command);
  }
  return 2;
}

}  // namespace trellis::cli
