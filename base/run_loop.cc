#include "base/run_loop.h"

#include "base/services.h"

namespace trellis {

RunLoop& RunLoop::main() { return required(installedServices().runLoop, "the main run loop"); }

}  // namespace trellis
