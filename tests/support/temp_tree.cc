// A temporary file tree for tests. Test thread only.
#include "support/temp_tree.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace trellis::testing {

namespace fs = std::filesystem;

TempTree::TempTree() {
  std::string pattern = (fs::temp_directory_path() / "trellis-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) != nullptr) root_ = pattern;
}

TempTree::~TempTree() {
  std::error_code ignored;
  if (!root_.empty()) fs::remove_all(root_, ignored);
}

std::string TempTree::write(const std::string& relative, const std::string& content) const {
  const fs::path file = path(relative);
  std::error_code ignored;
  fs::create_directories(file.parent_path(), ignored);
  std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
  return file.string();
}

std::string TempTree::write(const std::string& relative, const std::string& content, mode_t mode) const {
  std::string file = write(relative, content);
  ::chmod(file.c_str(), mode);
  return file;
}

std::string TempTree::read(const std::string& relative) const {
  std::ifstream in(path(relative), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void TempTree::link(const std::string& relative, const std::string& target) const {
  const fs::path at = fs::path(relative).relative_path();
  fs::create_directories(fs::path(path(at.parent_path().string())));
  fs::create_directory_symlink(fs::path(target).relative_path().lexically_relative(at.parent_path()),
                               path(at.string()));
}

void TempTree::copyFrom(const std::string& source) const {
  fs::copy(source, root_, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

}  // namespace trellis::testing
