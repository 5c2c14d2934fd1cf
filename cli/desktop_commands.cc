// `trellis permissions` and `trellis run-script`, on the desktop services. The script runner hands
// its outcome to the main queue, so run-script runs the event loop until the outcome arrives or
// nothing is left under way. The runner's log lines are shown on standard error while it runs.
#include "cli/desktop_commands.h"

#include <chrono>
#include <cstdio>
#include <memory>

#include "base/run_loop.h"
#include "base/services.h"
#include "base/system_log.h"
#include "cli/command_set.h"
#include "model/value_json.h"
#include "platform/linux/desktop/resource_folder.h"
#include "tools/kw_apple_script.h"
#include "tools/kw_tools.h"
#include "tools/resource_bundle.h"

namespace trellis::cli {

namespace {

class StandardErrorLog final : public SystemLog {
 public:
  void write(int, std::string_view line) override {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  }
};

// Resource files from a folder the user named, texts from the application's own tables.
class ScriptFolderBundle final : public ResourceBundle {
 public:
  explicit ScriptFolderBundle(const std::string& folder) : folder_(folder, {}), texts_(ResourceBundle::main()) {}
  std::string localizedString(std::string_view key, std::string_view table) override {
    return texts_.localizedString(key, table);
  }
  std::optional<std::string> pathForResource(std::string_view name) override { return folder_.pathForResource(name); }

 private:
  lnx::ResourceFolder folder_;
  ResourceBundle& texts_;
};

std::string dumpLine(const nlohmann::json& json) { return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

}  // namespace

Value scriptArgumentFromText(const std::string& word) {
  std::optional<Value> parsed = parseJson(word);
  if (parsed && parsed->isNumber()) return *parsed;
  return Value(word);
}

int showPermissions(bool json) {
  const bool accessibility = KwTools::getPrivacyAccessibilityState();
  const bool screenCapture = KwTools::getScreenCaptureState();
  const bool fullDiskAccess = KwTools::getFullDiskAccessState();
  if (json) {
    nlohmann::json states = {{"accessibility", accessibility}, {"screenCapture", screenCapture}, {"fullDiskAccess", fullDiskAccess}};
    std::printf("%s\n", dumpLine(states).c_str());
    return 0;
  }
  auto state = [](bool granted) { return granted ? "granted" : "not granted"; };
  std::printf("accessibility:     %s\nscreen capture:    %s\nfull disk access:  %s\n", state(accessibility),
              state(screenCapture), state(fullDiskAccess));
  return 0;
}

int runScript(const std::string& file, const std::string& handler, const std::vector<std::string>& arguments,
              const std::string& resources, bool json) {
  RunLoop& loop = RunLoop::main();
  StandardErrorLog log;
  std::unique_ptr<ScriptFolderBundle> folder;
  if (!resources.empty()) folder = std::make_unique<ScriptFolderBundle>(resources);
  ScopedServices scope([&](Services& services) {
    if (folder) services.resources = folder.get();
    services.log = &log;
  });

  Array values;
  for (const std::string& word : arguments) values.push_back(scriptArgumentFromText(word));
  int status = -1;
  KwAppleScript::executeScriptWithFile(
      Value(file), Value(handler), values,
      [&](std::optional<EventDescriptor> result, std::optional<ScriptError> failure) {
        if (result) {
          std::optional<std::string> text = result->stringValue();
          std::printf("%s\n", json || !text ? dumpLine(toJson(result->tree())).c_str() : text->c_str());
          status = 0;
        } else {
          const Value* message = nullptr;
          if (failure && failure->userInfo) {
            auto entry = failure->userInfo->find(kScriptErrorMessageKey);
            if (entry != failure->userInfo->end()) message = &entry->second;
          }
          std::fprintf(stderr, "trellis: the script failed (%s %lld)%s%s\n",
                       failure ? failure->domain.c_str() : "", failure ? static_cast<long long>(failure->code) : 0LL,
                       message && message->string() && !message->string()->empty() ? ": " : "",
                       message && message->string() ? message->string()->c_str() : "");
          status = 1;
        }
        loop.exit(status);
      });
  // Outcomes come through the main queue; when nothing is under way any more and none came, the
  // script was not run (a bad name, a missing script, a cancelled installation).
  std::unique_ptr<RepeatingTimer> watch = loop.addRepeatingTimer(std::chrono::milliseconds(50), [&] {
    if (status < 0 && KwAppleScript::pendingOperations() == 0) {
      std::fprintf(stderr, "trellis: the script did not run\n");
      status = 3;
      loop.exit(status);
    }
  });
  (void)loop.run();  // the status is set by whichever ended the loop
  watch.reset();
  return status < 0 ? 1 : status;
}

void addDesktopCommands(CLI::App& app, CommandSet& commands) {
  auto permissionsJson = std::make_shared<bool>(false);
  auto* permissions = app.add_subcommand("permissions", "whether this process may post input, capture the screen and read every file");
  permissions->add_flag("--json", *permissionsJson, "one JSON object");
  commands.add(permissions, {.needs = [] {
                               Needs needs;
                               needs.services.desktop = true;
                               return needs;
                             },
                             .run = [permissionsJson](Platform&) {
                               return showPermissions(*permissionsJson);
                             }});

  struct ScriptOptions {
    std::string file;
    std::string handler;
    std::vector<std::string> arguments;
    std::string resources;
    bool json = false;
  };
  auto options = std::make_shared<ScriptOptions>();
  auto* runScriptCommand = app.add_subcommand(
      "run-script", "run a handler of an executable script (the handler call goes to it as JSON on standard input)");
  runScriptCommand->add_option("file", options->file, "the script's file name (\".scpt\" is added unless it ends so)")->required();
  runScriptCommand->add_option("handler", options->handler, "the handler to call")->required();
  runScriptCommand->add_option("arguments", options->arguments, "its arguments: numbers, or texts (\"true\"/\"false\" become booleans)");
  runScriptCommand->add_option("--resources", options->resources,
                               "the folder the script is in (default: the application's resources folder)");
  runScriptCommand->add_flag("--json", options->json, "print the result as its descriptor JSON");
  commands.add(runScriptCommand, {.needs = [] {
                                    Needs needs;
                                    needs.services.desktop = true;
                                    needs.services.eventLoop = true;
                                    return needs;
                                  },
                                  .run = [options](Platform&) {
                                    return runScript(options->file, options->handler, options->arguments,
                                                     options->resources, options->json);
                                  }});
}

}  // namespace trellis::cli
