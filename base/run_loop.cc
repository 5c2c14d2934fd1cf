#include "base/run_loop.h"

#include <atomic>
#include <cstdlib>
#include <cstdio>

namespace trellis {

namespace {
std::atomic<RunLoop*> g_main{nullptr};
}

RunLoop& RunLoop::main() {
  RunLoop* loop = g_main.load(std::memory_order_acquire);
  if (loop == nullptr) {
    // A programming error: the process entry installs the loop before any use.
    std::fputs("trellis: the main run loop was used before it was installed\n", stderr);
    std::abort();
  }
  return *loop;
}

void RunLoop::setMain(RunLoop* loop) { g_main.store(loop, std::memory_order_release); }

}  // namespace trellis
