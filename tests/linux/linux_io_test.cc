// The io/ helpers where a fault would not show in the sources built on them: reads interrupted by
// signals, the size cap at chunk boundaries, kinds of file refused without blocking, re-reads
// from offset 0, and the edges of the shared integer parser.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "platform/linux/io/errno_text.h"
#include "platform/linux/io/file_contents.h"
#include "platform/linux/io/text_parsing.h"
#include "support/temp_tree.h"

namespace trellis::lnx {
namespace {

void ignoreSignal(int) {}

TEST(LinuxIoTest, ReadsThroughSignalsThatInterruptOpenAndRead) {
  testing::TempTree tree;
  const std::string fifo = tree.path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A handler without SA_RESTART: a blocked open or read fails with EINTR. SIGPIPE is ignored so
  // that a reader that gave up fails the test instead of ending it.
  struct sigaction action {}, previous {}, ignore {}, previousPipe {};
  action.sa_handler = ignoreSignal;
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previousPipe), 0);

  std::atomic<bool> done{false};
  int error = 0;
  std::optional<std::string> text;
  std::thread reader([&] {
    text = readWholeFile(fifo, 64, FileKind::kAny, &error);  // blocks in open, then in read
    done = true;
  });
  auto interrupt = [&] {
    for (int i = 0; i < 10 && !done; ++i) {
      ::pthread_kill(reader.native_handle(), SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  };
  interrupt();
  // Non-blocking: a reader that is no longer in open must not leave this open waiting for ever.
  int writer = -1;
  for (int i = 0; i < 400 && writer < 0 && !done; ++i) {
    writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (writer >= 0) {
    interrupt();
    (void)::write(writer, "after", 5);  // checked through what the reader got
    ::close(writer);
  }
  reader.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
  ::sigaction(SIGPIPE, &previousPipe, nullptr);
  EXPECT_EQ(text, "after") << errnoText(error);
}

TEST(LinuxIoTest, SizeCapCountsEveryChunk) {
  testing::TempTree tree;
  const std::string big(20000, 'x');  // more than one read's worth
  const std::string path = tree.write("big", big);
  // {cap, whole text read}
  const std::pair<std::size_t, bool> cases[] = {{20000, true}, {19999, false}, {8192, false}, {kNoSizeLimit, true}};
  for (const auto& [cap, read] : cases) {
    int error = 0;
    const std::optional<std::string> text = readWholeFile(path, cap, FileKind::kAny, &error);
    EXPECT_EQ(text == big, read) << cap;
    EXPECT_EQ(error, read ? 0 : EFBIG) << cap;
  }
}

TEST(LinuxIoTest, FailuresCarryTheirErrno) {
  testing::TempTree tree;
  tree.write("folder/file", "text");
  const std::string fifo = tree.path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // {path, kind, errno}; the FIFO has no writer, so a blocking open would never return.
  const std::tuple<std::string, FileKind, int> cases[] = {
      {tree.path("missing"), FileKind::kAny, ENOENT},       {tree.path("folder/file/x"), FileKind::kAny, ENOTDIR},
      {tree.path("folder"), FileKind::kAny, EISDIR},        {tree.path("folder"), FileKind::kRegular, EINVAL},
      {fifo, FileKind::kRegular, EINVAL},                   {tree.path("folder/file"), FileKind::kRegular, 0},
  };
  for (const auto& [path, kind, expected] : cases) {
    int error = 0;
    EXPECT_EQ(readWholeFile(path, 64, kind, &error).has_value(), expected == 0) << path;
    EXPECT_EQ(error, expected) << path;
  }
  EXPECT_EQ(errnoText(-ENOENT), "No such file or directory");
  EXPECT_EQ(errnoText(ENOENT), "No such file or directory");
}

TEST(LinuxIoTest, ReadFromStartGivesTheCurrentValueEveryTime) {
  testing::TempTree tree;
  const std::string path = tree.write("attribute", "41000\n");
  const int fd = openForReading(path);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(readFromStart(fd, 64), "41000\n");
  EXPECT_EQ(readFromStart(fd, 64), "41000\n") << "the offset must not move";
  EXPECT_EQ(readFromStart(fd, 3), "410") << "at most `size` bytes";
  tree.write("attribute", "39500\n");  // rewritten in place, as sysfs gives a new value
  EXPECT_EQ(readFromStart(fd, 64), "39500\n");
  closeFile(fd);
  EXPECT_EQ(readFromStart(fd, 64), std::nullopt) << "a closed descriptor";
}

TEST(LinuxIoTest, ParseIntegerTakesWholeTokensOnly) {
  // Digits only, all of the text, and a value that fits.
  for (const char* text : {"", "+1", "-1", " 1", "1\n", "1f", "4294967296"}) {
    EXPECT_EQ(parseInteger<std::uint32_t>(text), std::nullopt) << '"' << text << '"';
  }
  EXPECT_EQ(parseInteger<std::uint32_t>("1fA", 16), 0x1fau);
  EXPECT_EQ(parseInteger<std::uint32_t>("0x1f", 16), std::nullopt);
  EXPECT_EQ(parseInteger<std::int32_t>("-1"), std::nullopt) << "a sign only when asked for";
  EXPECT_EQ(parseInteger<std::int64_t>("-9223372036854775808", 10, Sign::kMinusAllowed), INT64_MIN);
  EXPECT_EQ(parseInteger<std::int64_t>("-", 10, Sign::kMinusAllowed), std::nullopt);
}

}  // namespace
}  // namespace trellis::lnx
