#include "platform/linux/sensors/smc_choice.h"

#include "platform/linux/sensors/applesmc_smc.h"
#include "platform/linux/sensors/hwmon_smc.h"
#include "platform/sim/sim_smc.h"

namespace trellis::lnx {

namespace {

std::optional<SmcChoice> fail(std::string* error, std::string why) {
  if (error != nullptr) *error = std::move(why);
  return std::nullopt;
}

SmcChoice hwmonChoice(std::unique_ptr<HwmonSmc> hwmon, std::string why) {
  std::string description = "hwmon: " + std::to_string(hwmon->sources().size()) + " keys from the machine's sensors";
  if (!why.empty()) description += " (" + why + ")";
  return SmcChoice{std::move(hwmon), std::move(description)};
}

}  // namespace

std::optional<SmcChoice> chooseSmcTransport(std::string_view spec, const std::string& root, std::string* error) {
  if (spec == "none") return SmcChoice{nullptr, "none: no SMC"};

  if (spec.starts_with("sim:")) {
    std::string path(spec.substr(4));
    if (path.empty()) return fail(error, "sim: needs the path of a key table, as in sim:share/demo-smc.json");
    std::string why;
    auto sim = sim::SimSmc::load(path, &why);
    if (!sim) return fail(error, "cannot load the simulated SMC " + path + ": " + why);
    return SmcChoice{std::move(sim), "sim: the simulated SMC of " + path};
  }

  if (spec == "applesmc") {
    std::string why;
    auto smc = AppleSmc::open(root, &why);
    if (!smc) return fail(error, "applesmc: " + why);
    return SmcChoice{std::move(smc), "applesmc: raw keys of the Apple SMC"};
  }

  if (spec == "hwmon") {
    auto hwmon = HwmonSmc::open(root);
    if (!hwmon) return fail(error, "hwmon: no hwmon or thermal sensor found");
    return hwmonChoice(std::move(hwmon), {});
  }

  if (spec == "auto") {
    std::string appleWhy;
    if (auto smc = AppleSmc::open(root, &appleWhy)) {
      return SmcChoice{std::move(smc), "applesmc: raw keys of the Apple SMC (chosen by auto)"};
    }
    if (auto hwmon = HwmonSmc::open(root)) {
      return hwmonChoice(std::move(hwmon), "chosen by auto; " + appleWhy);
    }
    return SmcChoice{nullptr, "none: " + appleWhy + "; and no hwmon or thermal sensor"};
  }

  return fail(error, "unknown SMC transport '" + std::string(spec) + "': use auto, hwmon, applesmc, sim:PATH or none");
}

}  // namespace trellis::lnx
