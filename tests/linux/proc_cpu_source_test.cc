// The Linux CPU source: the committed /proc and /sys trees under tests/fixtures/proc/ (an x86
// desktop, two arm64 machines, a machine with an offline processor), trees built here for missing
// and damaged files, the text parsers fed every truncation and kinds of corruption, and a look at
// this machine's own /proc.
#include "platform/linux/metrics/cpu_source.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_tree.h"

namespace trellis::lnx {
namespace {

std::string fixture(const std::string& name) { return std::string(TRELLIS_TEST_FIXTURES) + "/proc/" + name; }

std::string readFixture(const std::string& relative) {
  std::ifstream in(fixture(relative), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

ProcessorTicks T(std::uint32_t user, std::uint32_t system, std::uint32_t idle, std::uint32_t nice) {
  return {user, system, idle, nice};
}

// Every reading of `source`: "brand | count | tasks/threads | load averages | ticks", "-" for one
// that fails; ticks as "user,system,idle,nice" per processor.
std::string readings(ProcCpuSource& source) {
  std::ostringstream out;
  out << source.brand().value_or("-") << " | ";
  if (auto count = source.processorCount()) out << *count;
  out << " | ";
  if (auto tasks = source.taskAndThreadCount()) out << tasks->tasks << "/" << tasks->threads;
  out << " |";
  if (auto load = source.loadAverages()) out << " " << (*load)[0] << " " << (*load)[1] << " " << (*load)[2];
  out << " |";
  for (const ProcessorTicks& t : source.processorTicks().value_or(std::vector<ProcessorTicks>{})) {
    out << " " << t.user << "," << t.system << "," << t.idle << "," << t.nice;
  }
  return out.str();
}

TEST(ProcCpuSourceTest, CommittedMachinesGiveEveryReading) {
  // x86: five numeric folders ("sys" and "driver" are not processes, files are not folders);
  // system + irq + softirq, idle + iowait, steal and guest left out. arm64: a Hardware line and
  // no online file (the processor lines of proc/stat are counted), lines of four numbers; only
  // part numbers: no brand. An offline processor is left out of count and list.
  const std::pair<const char*, const char*> rows[] = {
      {"x86-4cpu",
       "Intel(R) Core(TM) i5-7500 CPU @ 3.40GHz | 4 | 5/1234 | 0.52 0.58 0.59 | 3000,975,40200,100 "
       "4000,1100,39300,200 2500,860,41100,50 2500,965,40200,50"},
      {"arm64-hardware",
       "Qualcomm Technologies, Inc SM8150 | 4 | 1/300 | 1 0.5 0.25 | 100,50,350,0 100,50,350,0 100,50,350,0 "
       "100,50,350,0"},
      {"arm64-plain", "- | 2 | 0/64 | 0 0 0 | 5,5,40,0 5,5,40,0"},
      {"offline-gap",
       "AMD Ryzen 5 3600 6-Core Processor | 3 | 1/150 | 0.1 0.2 0.3 | 200,110,1010,10 "
       "200,110,1010,10 200,110,1010,10"},
  };
  for (const auto& [machine, expected] : rows) {
    ProcCpuSource source(fixture(machine));
    EXPECT_EQ(readings(source), expected) << machine;
  }
}

TEST(ProcCpuSourceTest, MissingAndDamagedFilesFailTheirReadingCleanly) {
  testing::TempTree tree;
  ProcCpuSource source(tree.root());
  EXPECT_EQ(readings(source), "- |  |  | |");
  ProcCpuSource nowhere(tree.root() + "/does-not-exist");
  EXPECT_EQ(readings(nowhere), "- |  |  | |");

  // The processor count falls back to proc/stat when the online file is damaged, and the online
  // file wins when it reads.
  tree.write("proc/stat", "cpu  1 2 3 4\ncpu0 1 2 3 4\ncpu1 1 2 3 4\ncpu5 1 2 3 4\n");
  const std::pair<const char*, std::optional<std::int32_t>> online[] = {
      {"0-1,5\n", 3}, {"0-15\n", 16}, {"0-\n", 3}, {"", 3}};
  for (const auto& [text, count] : online) {
    tree.write("sys/devices/system/cpu/online", text);
    EXPECT_EQ(source.processorCount(), count) << text;
  }
  tree.write("proc/stat", "cpu  1 2 3 4\ncpu0 1 2 3\n");
  EXPECT_EQ(source.processorCount(), std::nullopt);

  // Tasks are the numeric folders, and need the total of proc/loadavg.
  for (const char* name : {"1", "2", "300", "self", "12a", "sys"}) tree.write("proc/" + std::string(name) + "/x", "");
  tree.write("proc/4242", "a numeric file is no process folder");
  EXPECT_EQ(source.taskAndThreadCount(), std::nullopt);
  tree.write("proc/loadavg", "0.00 0.00 0.00 1/77 9\n");
  EXPECT_EQ(source.taskAndThreadCount(), (TaskAndThreadCount{3, 77}));
  tree.write("proc/loadavg", "0.00 0.00 0.00\n");
  EXPECT_EQ(source.taskAndThreadCount(), std::nullopt);
  EXPECT_EQ(source.loadAverages(), std::nullopt);
}

TEST(ParseProcStatTest, EveryTruncationGivesNothingOrTheCompleteLinesSoFar) {
  const std::string full = readFixture("x86-4cpu/proc/stat");
  const auto whole = parseProcStat(full);
  ASSERT_TRUE(whole.has_value());
  ASSERT_EQ(whole->size(), 4u);
  for (std::size_t length = 0; length <= full.size(); ++length) {
    const std::string_view prefix(full.data(), length);
    const auto parsed = parseProcStat(prefix);
    // Processor lines ended by a newline within the prefix.
    std::size_t complete = 0;
    for (std::size_t pos = 0; (pos = prefix.find("\ncpu", pos)) != std::string_view::npos; ++pos) {
      if (prefix.find('\n', pos + 1) != std::string_view::npos && prefix.substr(pos + 4, 1) != " ") ++complete;
    }
    SCOPED_TRACE("length " + std::to_string(length));
    if (!parsed) continue;
    // A cut inside a line's numbers still reads as that line (missing trailing fields are 0), so
    // the list may hold one more entry than the complete lines; all complete ones are exact.
    ASSERT_GE(parsed->size(), complete);
    ASSERT_LE(parsed->size(), std::min<std::size_t>(complete + 1, whole->size()));
    for (std::size_t i = 0; i < complete; ++i) EXPECT_EQ((*parsed)[i], (*whole)[i]);
    if (length > 0 && full[length - 1] == '\n') {
      EXPECT_EQ(parsed->size(), complete);
    }
  }
  // Cut right after each processor line: exactly the lines so far.
  for (std::size_t n = 1; n <= 4; ++n) {
    const std::size_t end = full.find('\n', full.find("cpu" + std::to_string(n - 1) + " "));
    EXPECT_EQ(parseProcStat(full.substr(0, end + 1)), std::vector(whole->begin(), whole->begin() + n));
  }
}

TEST(ParseProcStatTest, FieldsMapAndWrapAsThirtyTwoBitCountersAndDamagedLinesFailTheReading) {
  // 2^64 - 1 keeps its low 32 bits; 2^32 reads as 0; system + irq + softirq and idle + iowait
  // wrap modulo 2^32.
  EXPECT_EQ(parseProcStat("cpu0 18446744073709551615 4294967296 4294967295 4294967295 2 1 0\n"),
            (std::vector{T(0xFFFFFFFFu, 0u, 1u, 0u)}));
  // Other lines, the machine-wide line, odd labels and tabs; extra fields ignored; no final newline.
  EXPECT_EQ(parseProcStat("intr 1 2 3\ncpu 9 9 9 9\ncpuX 1 2 3 4\ncpu0\t1\t2\t3\t4\t5\t6\t7\t8\t9\t10\t11\n"
                          "  ctxt 5\ncpu12 10 20 30 40"),
            (std::vector{T(1, 3 + 6 + 7, 4 + 5, 2), T(10, 30, 40, 20)}));
  // No processor line, a label only, fewer than four numbers, not a number, a sign, a fraction,
  // past 2^64, trailing text in a late field, a carriage return.
  for (const char* text :
       {"", "cpu  1 2 3 4\n", "cpu0\n", "cpu0 1 2 3\n", "cpu0 1 2 x 4\n", "cpu0 1 2 3 4\ncpu1 1 2 -3 4\n",
        "cpu0 1 2 3 4\ncpu1 1 2 3 4.5\n", "cpu0 18446744073709551616 0 0 0\n",
        "cpu0 99999999999999999999999999999999999 0 0 0\n", "cpu0 1 2 3 4 5 6 7 8 9 10 junk\n", "cpu0 1 2 3 4\r\n"}) {
    EXPECT_EQ(parseProcStat(text), std::nullopt) << text;
  }
}

TEST(ParseCpuInfoBrandTest, FirstModelNameThenHardware) {
  const std::pair<const char*, std::optional<std::string>> rows[] = {
      {"processor\t: 0\nmodel name\t: First  \nprocessor\t: 1\nmodel name\t: Second\n", "First"},
      {"model name\t:\nmodel name\t:   \t\nmodel name : Late\n", "Late"},
      {"Hardware\t: SoC\nprocessor\t: 0\nmodel name\t: ARMv7 Processor rev 4 (v7l)\n", "ARMv7 Processor rev 4 (v7l)"},
      {"CPU part\t: 0xd08\nHardware\t: BCM2835\nHardware\t: Other", "BCM2835"},
      {"model name\t: A: B", "A: B"},  // colons inside the value stay
      {"", std::nullopt},
      {"model name Intel\nmodelname: x\nModel Name: y\n", std::nullopt},
  };
  for (const auto& [text, brand] : rows) EXPECT_EQ(parseCpuInfoBrand(text), brand) << text;

  const std::string full = readFixture("x86-4cpu/proc/cpuinfo");
  const std::string name = "Intel(R) Core(TM) i5-7500 CPU @ 3.40GHz";
  const std::size_t valueEnd = full.find("model name\t: " + name) + 13 + name.size();
  for (std::size_t length = 0; length <= full.size(); ++length) {
    const auto brand = parseCpuInfoBrand(std::string_view(full.data(), length));
    if (length >= valueEnd) {
      EXPECT_EQ(brand, name) << length;
    } else if (brand) {
      EXPECT_EQ(name.rfind(*brand, 0), 0u) << length;
    }
  }
}

TEST(ParseLoadAvgTest, ReadsAveragesAndTheSchedulingEntitiesOfWholeTextOnly) {
  const auto parsed = parseLoadAvg("0.52 0.58 0.59 2/1234 56789\n");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->averages, (std::array<double, 3>{0.52, 0.58, 0.59}));
  EXPECT_EQ(parsed->running, 2);
  EXPECT_EQ(parsed->total, 1234);
  const auto busy = parseLoadAvg("123.45 0.00 7 10/2147483647");
  ASSERT_TRUE(busy.has_value());
  EXPECT_EQ(busy->averages, (std::array<double, 3>{123.45, 0.0, 7.0}));
  EXPECT_EQ(busy->total, 2147483647);

  for (const char* text : {"", "0.52 0.58 0.59", "0.52 0.58 0.59 2\n", "0.52 0.58 0.59 2/\n", "0.52 0.58 0.59 /5\n",
                           "0.52 0.58 0.59 2/x\n", "-0.5 0.58 0.59 2/3\n", "inf 0.58 0.59 2/3\n", "nan 0.58 0.59 2/3\n",
                           "1e5 0.58 0.59 2/3\n", "0.52x 0.58 0.59 2/3\n", "0.52 0.58 0.59 2/2147483648\n",
                           "0.52 0.58 0.59 -2/3\n", ".5 0.58 0.59 2/3\n"}) {
    EXPECT_EQ(parseLoadAvg(text), std::nullopt) << text;
  }
  const std::string full = "0.52 0.58 0.59 2/1234 56789\n";
  const std::size_t needed = full.find('/') + 2;  // through the first digit of the total
  for (std::size_t length = 0; length < full.size(); ++length) {
    EXPECT_EQ(parseLoadAvg(std::string_view(full.data(), length)).has_value(), length >= needed) << length;
  }
}

TEST(ParseCpuRangeListTest, CountsProcessorsOfWellFormedListsOnly) {
  const std::pair<const char*, std::int32_t> good[] = {
      {"0\n", 1}, {"0-3\n", 4}, {"0-1,3", 3}, {"0-3,5,7-8\n", 7}, {"0-2147483646", 2147483647}};
  for (const auto& [text, count] : good) EXPECT_EQ(parseCpuRangeList(text), count) << text;
  for (const char* text : {"", "\n", "3-1", "0-3,2", "0-3,3-4", "0,,1", "0,", ",0", "a", "-1", "0-", "-", "0 - 3",
                           "0-3x", "0-4294967295", "0-4294967296", "1-2147483647,2147483648-4294967295"}) {
    EXPECT_EQ(parseCpuRangeList(text), std::nullopt) << text;
  }
}

TEST(ProcCpuSourceTest, ThisMachinesProcAgreesWithTheCLibrary) {
  ProcCpuSource source;
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  ASSERT_GT(online, 0);
  EXPECT_EQ(source.processorCount(), online);
  const auto ticks = source.processorTicks();
  ASSERT_TRUE(ticks.has_value());
  EXPECT_EQ(static_cast<long>(ticks->size()), online);
  const auto counts = source.taskAndThreadCount();
  ASSERT_TRUE(counts.has_value());
  EXPECT_GE(counts->tasks, 1);  // this process at least
  EXPECT_GE(counts->threads, counts->tasks);
  EXPECT_TRUE(source.loadAverages().has_value());
}

}  // namespace
}  // namespace trellis::lnx
