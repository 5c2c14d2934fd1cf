#include "base/services.h"

#include <cstdio>
#include <cstdlib>

namespace trellis {

namespace {
Services g_services;
}

void installServices(const Services& services) { g_services = services; }

const Services& installedServices() { return g_services; }

ScopedServices::ScopedServices(const std::function<void(Services&)>& change) : before_(g_services) {
  Services changed = g_services;
  change(changed);
  g_services = changed;
}

ScopedServices::~ScopedServices() { g_services = before_; }

void missingService(const char* what) {
  std::fprintf(stderr, "trellis: %s was used but never installed\n", what);
  std::abort();
}

}  // namespace trellis
