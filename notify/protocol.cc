#include "notify/protocol.h"

namespace trellis::protocol {

bool isRegistrableName(std::string_view name) {
  if (name.empty() || name.size() > 255) return false;
  for (char c : name) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == ':' || c == '/' || c == '-';
    if (!ok) return false;
  }
  return true;
}

}  // namespace trellis::protocol
