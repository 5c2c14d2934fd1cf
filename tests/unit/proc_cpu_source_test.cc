// Tests of the Linux CPU source: the committed /proc and /sys trees under tests/fixtures/proc/
// (an x86 desktop, two arm64 machines, a machine with an offline processor), trees built here for
// missing and damaged files, the text parsers fed every truncation and kinds of corruption, and a
// look at this machine's own /proc.
#include "platform/linux/proc_cpu_source.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace trellis::linux {
namespace {

namespace fs = std::filesystem;

std::string fixture(const std::string& name) { return std::string(TRELLIS_TEST_FIXTURES) + "/proc/" + name; }

std::string readFixture(const std::string& relative) {
  std::ifstream in(fixture(relative), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

ProcessorTicks T(std::uint32_t user, std::uint32_t system, std::uint32_t idle, std::uint32_t nice) {
  return {user, system, idle, nice};
}

// --- Committed machines ------------------------------------------------------------------------

TEST(ProcCpuSourceTest, X86DesktopGivesEveryReading) {
  ProcCpuSource source(fixture("x86-4cpu"));
  EXPECT_EQ(source.brand(), "Intel(R) Core(TM) i5-7500 CPU @ 3.40GHz");
  EXPECT_EQ(source.processorCount(), 4);
  // Five numeric folders; "sys" and "driver" are not processes, files are not folders.
  EXPECT_EQ(source.taskAndThreadCount(), (TaskAndThreadCount{5, 1234}));
  EXPECT_EQ(source.loadAverages(), (std::array<double, 3>{0.52, 0.58, 0.59}));
  // system + irq + softirq, idle + iowait; steal and guest left out.
  EXPECT_EQ(source.processorTicks(), (std::vector{T(3000, 975, 40200, 100), T(4000, 1100, 39300, 200),
                                                  T(2500, 860, 41100, 50), T(2500, 965, 40200, 50)}));
}

TEST(ProcCpuSourceTest, Arm64WithHardwareLineAndNoOnlineFile) {
  ProcCpuSource source(fixture("arm64-hardware"));
  EXPECT_EQ(source.brand(), "Qualcomm Technologies, Inc SM8150");
  // No sys/devices/system/cpu/online: the processor lines of /proc/stat are counted.
  EXPECT_EQ(source.processorCount(), 4);
  EXPECT_EQ(source.taskAndThreadCount(), (TaskAndThreadCount{1, 300}));
  // Lines with only user, nice, system and idle.
  EXPECT_EQ(source.processorTicks(), (std::vector<ProcessorTicks>(4, T(100, 50, 350, 0))));
}

TEST(ProcCpuSourceTest, Arm64WithOnlyPartNumbersHasNoBrand) {
  ProcCpuSource source(fixture("arm64-plain"));
  EXPECT_EQ(source.brand(), std::nullopt);
  EXPECT_EQ(source.processorCount(), 2);
  EXPECT_EQ(source.taskAndThreadCount(), (TaskAndThreadCount{0, 64}));
}

TEST(ProcCpuSourceTest, OfflineProcessorIsLeftOutOfCountAndList) {
  ProcCpuSource source(fixture("offline-gap"));
  EXPECT_EQ(source.brand(), "AMD Ryzen 5 3600 6-Core Processor");
  EXPECT_EQ(source.processorCount(), 3);
  // cpu0, cpu1, cpu3: the list closes the gap.
  EXPECT_EQ(source.processorTicks(), (std::vector<ProcessorTicks>(3, T(200, 110, 1010, 10))));
}

// --- Built trees -------------------------------------------------------------------------------

class ProcTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "trellis-proc-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root = pattern;
    fs::create_directories(root / "proc");
    fs::create_directories(root / "sys/devices/system/cpu");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  void write(const std::string& relative, const std::string& text) {
    std::ofstream(root / relative, std::ios::trunc | std::ios::binary) << text;
  }

  fs::path root;
};

TEST_F(ProcTreeTest, MissingFilesFailEachReadingCleanly) {
  ProcCpuSource source(root.string());
  EXPECT_EQ(source.brand(), std::nullopt);
  EXPECT_EQ(source.processorCount(), std::nullopt);
  EXPECT_EQ(source.taskAndThreadCount(), std::nullopt);
  EXPECT_EQ(source.loadAverages(), std::nullopt);
  EXPECT_EQ(source.processorTicks(), std::nullopt);

  ProcCpuSource nowhere((root / "does-not-exist").string());
  EXPECT_EQ(nowhere.processorTicks(), std::nullopt);
  EXPECT_EQ(nowhere.taskAndThreadCount(), std::nullopt);
}

TEST_F(ProcTreeTest, ProcessorCountFallsBackToStatWhenOnlineIsDamaged) {
  ProcCpuSource source(root.string());
  write("proc/stat", "cpu  1 2 3 4\ncpu0 1 2 3 4\ncpu1 1 2 3 4\ncpu5 1 2 3 4\n");
  write("sys/devices/system/cpu/online", "0-1,5\n");
  EXPECT_EQ(source.processorCount(), 3);
  write("sys/devices/system/cpu/online", "0-15\n");
  EXPECT_EQ(source.processorCount(), 16);  // the online file wins when it reads
  write("sys/devices/system/cpu/online", "0-\n");
  EXPECT_EQ(source.processorCount(), 3);
  write("sys/devices/system/cpu/online", "");
  EXPECT_EQ(source.processorCount(), 3);
  write("proc/stat", "cpu  1 2 3 4\ncpu0 1 2 3\n");
  EXPECT_EQ(source.processorCount(), std::nullopt);
}

TEST_F(ProcTreeTest, TasksCountNumericFoldersOnlyAndNeedTheLoadavgTotal) {
  ProcCpuSource source(root.string());
  for (const char* name : {"1", "2", "300", "self", "12a", "sys"}) fs::create_directories(root / "proc" / name);
  write("proc/4242", "a numeric file is no process folder");
  EXPECT_EQ(source.taskAndThreadCount(), std::nullopt);  // no loadavg yet
  write("proc/loadavg", "0.00 0.00 0.00 1/77 9\n");
  EXPECT_EQ(source.taskAndThreadCount(), (TaskAndThreadCount{3, 77}));
  write("proc/loadavg", "0.00 0.00 0.00\n");
  EXPECT_EQ(source.taskAndThreadCount(), std::nullopt);
  EXPECT_EQ(source.loadAverages(), std::nullopt);
}

// --- /proc/stat text ---------------------------------------------------------------------------

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

TEST(ParseProcStatTest, DamagedProcessorLinesFailTheWholeReading) {
  const char* damaged[] = {
      "",
      "cpu  1 2 3 4\n",                                      // no processor line
      "cpu0\n",                                              // label only
      "cpu0 1 2 3\n",                                        // fewer than four numbers
      "cpu0 1 2 x 4\n",                                      // not a number
      "cpu0 1 2 3 4\ncpu1 1 2 -3 4\n",                       // a sign
      "cpu0 1 2 3 4\ncpu1 1 2 3 4.5\n",                      // a fraction
      "cpu0 18446744073709551616 0 0 0\n",                   // 2^64 does not fit
      "cpu0 99999999999999999999999999999999999 0 0 0\n",   // nor does this
      "cpu0 1 2 3 4 5 6 7 8 9 10 junk\n",                    // trailing text in a late field
      "cpu0 1 2 3 4\r\n",                                    // a carriage return is not a separator
  };
  for (const char* text : damaged) EXPECT_EQ(parseProcStat(text), std::nullopt) << text;
}

TEST(ParseProcStatTest, FieldsMapAndWrapAsThirtyTwoBitCounters) {
  // 2^64 - 1 keeps its low 32 bits; 2^32 reads as 0; system + irq + softirq and idle + iowait
  // wrap modulo 2^32.
  EXPECT_EQ(parseProcStat("cpu0 18446744073709551615 4294967296 4294967295 4294967295 2 1 0\n"),
            (std::vector{T(0xFFFFFFFFu, 0u, 1u, 0u)}));
  // Other lines, the machine-wide line, odd labels and tabs; extra fields ignored; no final
  // newline.
  EXPECT_EQ(parseProcStat("intr 1 2 3\ncpu 9 9 9 9\ncpuX 1 2 3 4\ncpu0\t1\t2\t3\t4\t5\t6\t7\t8\t9\t10\t11\n"
                          "  ctxt 5\ncpu12 10 20 30 40"),
            (std::vector{T(1, 3 + 6 + 7, 4 + 5, 2), T(10, 30, 40, 20)}));
}

// --- /proc/cpuinfo text ------------------------------------------------------------------------

TEST(ParseCpuInfoBrandTest, FirstModelNameThenHardware) {
  EXPECT_EQ(parseCpuInfoBrand("processor\t: 0\nmodel name\t: First  \nprocessor\t: 1\nmodel name\t: Second\n"),
            "First");
  EXPECT_EQ(parseCpuInfoBrand("model name\t:\nmodel name\t:   \t\nmodel name : Late\n"), "Late");
  EXPECT_EQ(parseCpuInfoBrand("Hardware\t: SoC\nprocessor\t: 0\nmodel name\t: ARMv7 Processor rev 4 (v7l)\n"),
            "ARMv7 Processor rev 4 (v7l)");
  EXPECT_EQ(parseCpuInfoBrand("CPU part\t: 0xd08\nHardware\t: BCM2835\nHardware\t: Other"), "BCM2835");
  // Colons inside the value stay.
  EXPECT_EQ(parseCpuInfoBrand("model name\t: A: B"), "A: B");
  EXPECT_EQ(parseCpuInfoBrand(""), std::nullopt);
  EXPECT_EQ(parseCpuInfoBrand("model name Intel\nmodelname: x\nModel Name: y\n"), std::nullopt);

  const std::string full = readFixture("x86-4cpu/proc/cpuinfo");
  const std::string line = "model name\t: Intel(R) Core(TM) i5-7500 CPU @ 3.40GHz";
  const std::size_t valueEnd = full.find(line) + line.size();
  for (std::size_t length = 0; length <= full.size(); ++length) {
    const auto brand = parseCpuInfoBrand(std::string_view(full.data(), length));
    if (length >= valueEnd) {
      EXPECT_EQ(brand, "Intel(R) Core(TM) i5-7500 CPU @ 3.40GHz") << length;
    } else if (brand) {
      EXPECT_EQ(std::string("Intel(R) Core(TM) i5-7500 CPU @ 3.40GHz").rfind(*brand, 0), 0u) << length;
    }
  }
}

// --- /proc/loadavg text ------------------------------------------------------------------------

TEST(ParseLoadAvgTest, ReadsAveragesAndTheSchedulingEntities) {
  const auto parsed = parseLoadAvg("0.52 0.58 0.59 2/1234 56789\n");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->averages, (std::array<double, 3>{0.52, 0.58, 0.59}));
  EXPECT_EQ(parsed->running, 2);
  EXPECT_EQ(parsed->total, 1234);
  const auto busy = parseLoadAvg("123.45 0.00 7 10/2147483647");
  ASSERT_TRUE(busy.has_value());
  EXPECT_EQ(busy->averages, (std::array<double, 3>{123.45, 0.0, 7.0}));
  EXPECT_EQ(busy->total, 2147483647);
}

TEST(ParseLoadAvgTest, DamagedTextGivesNothing) {
  const char* damaged[] = {
      "",  "0.52 0.58 0.59", "0.52 0.58 0.59 2\n", "0.52 0.58 0.59 2/\n", "0.52 0.58 0.59 /5\n",
      "0.52 0.58 0.59 2/x\n", "-0.5 0.58 0.59 2/3\n", "inf 0.58 0.59 2/3\n", "nan 0.58 0.59 2/3\n",
      "1e5 0.58 0.59 2/3\n", "0.52x 0.58 0.59 2/3\n", "0.52 0.58 0.59 2/2147483648\n",
      "0.52 0.58 0.59 -2/3\n", ".5 0.58 0.59 2/3\n",
  };
  for (const char* text : damaged) EXPECT_EQ(parseLoadAvg(text), std::nullopt) << text;

  const std::string full = "0.52 0.58 0.59 2/1234 56789\n";
  const std::size_t needed = full.find('/') + 2;  // through the first digit of the total
  for (std::size_t length = 0; length < full.size(); ++length) {
    const auto parsed = parseLoadAvg(std::string_view(full.data(), length));
    EXPECT_EQ(parsed.has_value(), length >= needed) << length;
  }
}

// --- CPU range lists ---------------------------------------------------------------------------

TEST(ParseCpuRangeListTest, CountsProcessorsOfWellFormedListsOnly) {
  EXPECT_EQ(parseCpuRangeList("0\n"), 1);
  EXPECT_EQ(parseCpuRangeList("0-3\n"), 4);
  EXPECT_EQ(parseCpuRangeList("0-1,3"), 3);
  EXPECT_EQ(parseCpuRangeList("0-3,5,7-8\n"), 7);
  EXPECT_EQ(parseCpuRangeList("0-2147483646"), 2147483647);
  const char* damaged[] = {"",   "\n",   "3-1",  "0-3,2", "0-3,3-4", "0,,1", "0,",   ",0",
                           "a",  "-1",   "0-",   "-",     "0 - 3",   "0-3x", "0-4294967295",
                           "0-4294967296", "1-2147483647,2147483648-4294967295"};
  for (const char* text : damaged) EXPECT_EQ(parseCpuRangeList(text), std::nullopt) << text;
}

// --- This machine ------------------------------------------------------------------------------

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
}  // namespace trellis::linux
