// Replacing a file so that a reader sees the old text or the new, never a part: the text goes to
// a temporary file in the same folder, which is then renamed over the old one. Any thread.
#pragma once

#include <string>
#include <string_view>

namespace trellis::lnx {

// Writes `text` to `folder`/`name`. False, with the reason (errno text) in `error`, when the folder
// cannot be written; the temporary file is removed then, and the old file stays as it was.
bool replaceFile(const std::string& folder, std::string_view name, std::string_view text, std::string* error);

}  // namespace trellis::lnx
