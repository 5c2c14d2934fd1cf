// The purge platform over procfs, the heap, mmap and setpriority. Holds only its root folder, so
// any thread may use one instance; arenas hand out blocks with an atomic offset. EINTR is retried
// in `retryOnEintr` only (nanosleep resumes with the time left).
#include "platform/linux/system/purge.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <limits>

#include "platform/linux/io/eintr.h"
#include "platform/linux/io/file_contents.h"
#include "platform/linux/io/text_parsing.h"

namespace trellis::lnx {

namespace {

class MmapArena final : public MemoryArena {
 public:
  MmapArena(void* base, std::uint64_t capacity) : base_(static_cast<unsigned char*>(base)), capacity_(capacity) {}
  ~MmapArena() override { ::munmap(base_, capacity_); }

  void* calloc(std::uint64_t count, std::uint64_t size) override {
    if (size != 0 && count > std::numeric_limits<std::uint64_t>::max() / size) return nullptr;
    // Fresh anonymous pages read as zero, and nothing is handed out twice: no clearing needed.
    const std::uint64_t bytes = (count * size + 15) & ~std::uint64_t{15};
    std::uint64_t used = used_.load(std::memory_order_relaxed);
    do {
      if (bytes > capacity_ - used) return nullptr;
    } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
    return base_ + used;
  }

 private:
  unsigned char* base_;
  std::uint64_t capacity_;
  std::atomic<std::uint64_t> used_{0};
};

}  // namespace

bool parseMeminfo(std::string_view text, std::uint64_t* freeKiB, std::uint64_t* inactiveKiB) {
  bool haveFree = false;
  bool haveInactive = false;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, colon);
    std::string_view rest = line.substr(colon + 1);
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    const std::optional<std::uint64_t> kib = parseInteger<std::uint64_t>(leadingDigits(rest));
    if (!kib) continue;
    if (name == "MemFree") {
      *freeKiB = *kib;
      haveFree = true;
    } else if (name == "Inactive") {
      *inactiveKiB = *kib;
      haveInactive = true;
    }
  }
  return haveFree && haveInactive;
}

LinuxPurgePlatform::LinuxPurgePlatform(std::string root) : root_(std::move(root)) {
  if (root_.empty() || root_.back() != '/') root_ += '/';
}

double LinuxPurgePlatform::now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9 - kSecondsFrom1970To2001;
}

void LinuxPurgePlatform::sleepSeconds(unsigned seconds) {
  timespec left{static_cast<time_t>(seconds), 0};
  // It fails otherwise only for a bad time value, which these never are.
  (void)retryOnEintr([&] { return nanosleep(&left, &left); });
}

int LinuxPurgePlatform::hostPageSize(std::uint64_t* pageSize) {
  errno = 0;
  const long size = sysconf(_SC_PAGESIZE);
  if (size <= 0) return errno != 0 ? errno : EINVAL;
  *pageSize = static_cast<std::uint64_t>(size);
  return 0;
}

int LinuxPurgePlatform::hostPageCounts(HostPageCounts* counts) {
  std::uint64_t pageSize = 0;
  if (int code = hostPageSize(&pageSize); code != 0) return code;
  int code = 0;
  const std::optional<std::string> text = readWholeFile(root_ + "proc/meminfo", kNoSizeLimit, FileKind::kAny, &code);
  if (!text) return code;
  std::uint64_t freeKiB = 0;
  std::uint64_t inactiveKiB = 0;
  if (!parseMeminfo(*text, &freeKiB, &inactiveKiB)) return EINVAL;
  auto pages = [pageSize](std::uint64_t kib) {
    const std::uint64_t count = kib / pageSize * 1024 + kib % pageSize * 1024 / pageSize;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(count, std::numeric_limits<std::uint32_t>::max()));
  };
  counts->freePages = pages(freeKiB);
  counts->inactivePages = pages(inactiveKiB);
  return 0;
}

void* LinuxPurgePlatform::allocate(std::uint64_t size) {
  if (size > std::numeric_limits<std::size_t>::max()) return nullptr;
  return std::malloc(static_cast<std::size_t>(size));
}

void LinuxPurgePlatform::release(void* block) { std::free(block); }

std::unique_ptr<MemoryArena> LinuxPurgePlatform::createArena(std::uint64_t startSize) {
  if (startSize == 0 || startSize > std::numeric_limits<std::size_t>::max()) return nullptr;
  void* base = ::mmap(nullptr, static_cast<std::size_t>(startSize), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  return std::make_unique<MmapArena>(base, startSize);
}

unsigned LinuxPurgePlatform::processorCount() {
  const long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? static_cast<unsigned>(count) : 1;
}

void LinuxPurgePlatform::raiseThreadPriority() {
  // On Linux PRIO_PROCESS with a thread id changes that thread alone.
  const auto thread = static_cast<id_t>(::syscall(SYS_gettid));
  (void)::setpriority(PRIO_PROCESS, thread, -20);  // refused without the right: it keeps its priority
}

int LinuxPurgePlatform::kernelPurge() {
  const std::string path = root_ + "proc/sys/vm/drop_caches";
  const int fd = retryOnEintr([&] { return ::open(path.c_str(), O_WRONLY | O_CLOEXEC); });
  if (fd < 0) return errno;
  const ssize_t n = retryOnEintr([&] { return ::write(fd, "1", 1); });
  const int code = n == 1 ? 0 : (n < 0 ? errno : EIO);
  ::close(fd);
  return code;
}

}  // namespace trellis::lnx

