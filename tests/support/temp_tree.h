// A folder of the test's own under the temporary directory, removed with its contents on
// destruction, for file trees (sysfs, /proc, utmp, scripts) that a case builds or edits. Paths
// are given from the folder's root. Test thread only.
#pragma once

#include <sys/types.h>

#include <string>

namespace trellis::testing {

class TempTree {
 public:
  TempTree();
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  // Empty when the folder could not be made.
  const std::string& root() const { return root_; }
  std::string path(const std::string& relative) const { return root_ + "/" + relative; }

  // Writes `content` exactly, making the parent folders; returns the file's path.
  std::string write(const std::string& relative, const std::string& content) const;
  std::string write(const std::string& relative, const std::string& content, mode_t mode) const;
  std::string read(const std::string& relative) const;
  // A link at `relative` to `target` (both from the root), written relative as sysfs does.
  void link(const std::string& relative, const std::string& target) const;
  // Copies the contents of the folder `source` into the root.
  void copyFrom(const std::string& source) const;

 private:
  std::string root_;
};

}  // namespace trellis::testing
