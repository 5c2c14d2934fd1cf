// `trellis metrics memory` and `trellis metrics disk`: the memory and disk collectors run once
// (the disk one twice, a second apart, for throughput and temperatures) over the process's
// sources, built under the command's --root.
// Main thread only.
#include "cli/storage_commands.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "cli/command_set.h"
#include "model/mapping.h"
#include "model/value_json.h"
#include "tools/kw_tools.h"

namespace trellis::cli {

namespace {

std::string dumpLine(const nlohmann::json& json) {
  // Volume names are mount points, which may hold any bytes: replace what is not UTF-8.
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// A record's dictionary form as JSON, with boolean properties as JSON booleans rather than the
// dictionary form's 0 and 1.
template <Record T>
nlohmann::json recordJson(const T& record) {
  nlohmann::json json = toJson(Value(mj_keyValues(record)));
  for (const Property& property : recordTypeOf<T>().properties()) {
    if (property.kind == PropertyKind::Bool && json.contains(property.name)) {
      json[property.name] = json[property.name] != 0;
    }
  }
  return json;
}

std::string perSecond(std::uint64_t bytes) { return KwTools::bytesToString(bytes, 1000) + "/s"; }

std::string flagsOf(const DiskModel& disk) {
  std::string flags;
  const auto add = [&flags](const char* flag) {
    if (!flags.empty()) flags += ',';
    flags += flag;
  };
  if (disk.isMain()) add("main");
  if (disk.isNetwork()) add("network");
  add(disk.isWritable() ? "writable" : "read-only");
  if (disk.isRemovable()) add("removable");
  return flags;
}

}  // namespace

std::string memoryRecordJson(const MemoryModel& model) {
  nlohmann::json json = recordJson(model);
  json["totalString"] = model.totalString();
  json["freeString"] = model.freeString();
  json["useString"] = model.useString();
  json["usePercentString"] = model.usePercentString();
  return dumpLine(json);
}

std::string memoryRecordText(const MemoryModel& model) {
  char text[256];
  std::snprintf(text, sizeof text, "total  %s\nfree   %s (free and file cache)\nused   %s (%s)\n",
                model.totalString().c_str(), model.freeString().c_str(), model.useString().c_str(),
                model.usePercentString().c_str());
  return text;
}

std::string diskReportJson(const std::vector<std::shared_ptr<DiskModel>>& volumes, const DiskModel* mainDisk,
                           const DiskThroughput& throughput) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& disk : volumes) {
    if (!disk) continue;
    nlohmann::json json = recordJson(*disk);
    json["totalString"] = disk->totalString();
    json["freeString"] = disk->freeString();
    json["useString"] = disk->useString();
    json["usePercentString"] = disk->usePercentString();
    list.push_back(std::move(json));
  }
  nlohmann::json report = nlohmann::json::object();
  report["volumes"] = std::move(list);
  report["mainDisk"] = mainDisk ? nlohmann::json(mainDisk->name()) : nlohmann::json(nullptr);
  report["bytesRead"] = throughput.bytesRead;
  report["bytesWritten"] = throughput.bytesWritten;
  report["readBytesPerSecond"] = throughput.readBytesPerSecond;
  report["writeBytesPerSecond"] = throughput.writeBytesPerSecond;
  return dumpLine(report);
}

std::string diskReportText(const std::vector<std::shared_ptr<DiskModel>>& volumes, const DiskModel* mainDisk,
                           const DiskThroughput& throughput) {
  std::size_t nameWidth = 6;
  std::size_t kindWidth = 4;
  for (const auto& disk : volumes) {
    if (!disk) continue;
    nameWidth = std::max(nameWidth, disk->name().size());
    kindWidth = std::max(kindWidth, disk->kind().size());
  }
  const int nw = static_cast<int>(nameWidth);
  const int kw = static_cast<int>(kindWidth);
  std::string text;
  char line[1024];
  std::snprintf(line, sizeof line, "%-*s  %-*s  %10s  %10s  %10s  %4s  %6s  %-30s  %s\n", nw, "VOLUME", kw, "KIND",
                "SIZE", "FREE", "USED", "USE", "TEMP", "FLAGS", "MODEL");
  text += line;
  for (const auto& disk : volumes) {
    if (!disk) continue;
    // The name may be longer than the line: written apart so that it is never cut.
    std::snprintf(line, sizeof line, "%-*s", nw, disk->name().c_str());
    text += disk->name().size() >= sizeof line ? disk->name() : line;
    std::snprintf(line, sizeof line, "  %-*s  %10s  %10s  %10s  %4s  %6.1f  %-30s  %s\n", kw, disk->kind().c_str(),
                  disk->totalString().c_str(), disk->freeString().c_str(), disk->useString().c_str(),
                  disk->usePercentString().c_str(), static_cast<double>(disk->temperature()),
                  flagsOf(*disk).c_str(), disk->model().c_str());
    text += line;
  }
  if (volumes.empty()) text += "(no volumes)\n";
  text += "main disk: " + (mainDisk ? mainDisk->name() : std::string("none")) + "\n";
  text += "read " + KwTools::bytesToString(throughput.bytesRead, 1000) + " (" +
          perSecond(throughput.readBytesPerSecond) + "), written " +
          KwTools::bytesToString(throughput.bytesWritten, 1000) + " (" + perSecond(throughput.writeBytesPerSecond) +
          ")\n";
  return text;
}

int metricsMemory(const Services& services, const std::string& root, bool json) {
  MemoryInfo memory(required(services.memory, "the memory source"));
  memory.reloadInfo();
  const std::shared_ptr<MemoryModel> model = memory.getMemoryInfo();
  if (model->total() == 0) {
    std::fprintf(stderr, "trellis: cannot read the memory size from %s/proc/meminfo\n",
                 root == "/" ? "" : root.c_str());
    return 1;
  }
  if (json) {
    std::printf("%s\n", memoryRecordJson(*model).c_str());
  } else {
    std::fputs(memoryRecordText(*model).c_str(), stdout);
  }
  return 0;
}

int metricsDisk(const Services& services, bool json, std::chrono::milliseconds window) {
  DiskInfo disk(required(services.disk, "the disk source"));

  std::uint64_t read0 = 0;
  std::uint64_t written0 = 0;
  disk.getReadAndWriteBytesWithHandler([&](std::uint64_t r, std::uint64_t w) { read0 = r, written0 = w; });
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(window);
  disk.reloadInfo();
  DiskThroughput throughput;
  disk.getReadAndWriteBytesWithHandler([&](std::uint64_t r, std::uint64_t w) {
    throughput.bytesRead = r;
    throughput.bytesWritten = w;
  });
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (seconds > 0.0) {
    // A driver dropped in between lowers the sums: no negative rates.
    const auto rate = [seconds](std::uint64_t before, std::uint64_t after) {
      return after > before ? static_cast<std::uint64_t>(static_cast<double>(after - before) / seconds) : 0;
    };
    throughput.readBytesPerSecond = rate(read0, throughput.bytesRead);
    throughput.writeBytesPerSecond = rate(written0, throughput.bytesWritten);
  }

  const std::shared_ptr<DiskModel> mainDisk = disk.getMainDisk();
  if (json) {
    std::printf("%s\n", diskReportJson(disk.list(), mainDisk.get(), throughput).c_str());
  } else {
    std::fputs(diskReportText(disk.list(), mainDisk.get(), throughput).c_str(), stdout);
  }
  return 0;
}

void addStorageCommands(CLI::App& metrics, CommandSet& commands) {
  struct Options {
    std::string root = "/";
    std::string smc = "auto";
    bool json = false;
  };

  // --root and --smc as given to the subcommand or, failing that, to `trellis metrics`; the memory
  // command reads no SMC.
  const auto needs = [&metrics](CLI::App* sub, std::shared_ptr<Options> options, bool withSmc) {
    return [&metrics, sub, options, withSmc] {
      Needs needs;
      needs.services.root = fromEither(*sub, metrics, "--root", options->root);
      if (withSmc) needs.services.smc = fromEither(*sub, metrics, "--smc", options->smc);
      return needs;
    };
  };

  auto memoryOptions = std::make_shared<Options>();
  CLI::App* memory = metrics.add_subcommand("memory", "the memory record: total, free (free pages and file cache), used");
  memory->add_flag("--json", memoryOptions->json, "print the record by property name with its display texts as JSON");
  memory->add_option("--root", memoryOptions->root, "read /proc and sysfs under this folder")->capture_default_str();
  commands.add(memory, {.needs = needs(memory, memoryOptions, /*withSmc=*/false),
                        .run = [memory, &metrics, memoryOptions](Platform& platform) {
                          const std::string root = fromEither(*memory, metrics, "--root", memoryOptions->root);
                          return metricsMemory(platform.services, root, memoryOptions->json);
                        }});

  auto diskOptions = std::make_shared<Options>();
  CLI::App* disk = metrics.add_subcommand(
      "disk", "the mounted volumes with capacities, flags and temperature; disk throughput over 1 s");
  disk->add_flag("--json", diskOptions->json, "print the volumes, main disk and byte counters as JSON");
  disk->add_option("--root", diskOptions->root, "read /proc and sysfs under this folder")->capture_default_str();
  disk->add_option("--smc", diskOptions->smc, "where the temperature comes from: auto, hwmon, applesmc, sim:PATH or none")
      ->capture_default_str();
  commands.add(disk, {.needs = needs(disk, diskOptions, /*withSmc=*/true), .run = [diskOptions](Platform& platform) {
                        return metricsDisk(platform.services, diskOptions->json);
                      }});
}

}  // namespace trellis::cli
