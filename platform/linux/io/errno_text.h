// errno values as text, for messages to people. Stateless; any thread (the text is never taken
// from strerror's shared buffer).
#pragma once

#include <string>

namespace trellis::lnx {

// The system's text for an errno value, given either way round: -ENOENT and ENOENT both give "No
// such file or directory".
std::string errnoText(int error);

}  // namespace trellis::lnx
