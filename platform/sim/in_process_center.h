// A notification centre inside one process: posts reach the observers of this centre only,
// delivered on the main queue of the given run loop. It records every post so that tests can
// check what went out and in what order. Main thread only.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/run_loop.h"
#include "notify/distributed_center.h"

namespace trellis::sim {

class InProcessCenter final : public DistributedCenter {
 public:
  struct Post {
    std::string name;
    std::optional<Dictionary> userInfo;
  };

  explicit InProcessCenter(RunLoop& mainQueue) : mainQueue_(mainQueue) {}

  bool addObserver(const void* observer, Callback callback, std::string_view name) override;
  void removeObserver(const void* observer, std::string_view name) override;
  void postNotification(std::string_view name, const Dictionary* userInfo) override;
  void flush() override { ++flushes_; }

  // Delivers a notification as if another process had posted it (not recorded in `posts`).
  void deliver(std::string_view name, std::optional<std::string> object, std::optional<Dictionary> userInfo);

  const std::vector<Post>& posts() const { return posts_; }
  void clearPosts() { posts_.clear(); }
  // How many times each name was registered with this centre, and is it registered now.
  int registrations(std::string_view name) const;
  bool isRegistered(std::string_view name) const;
  int flushes() const { return flushes_; }

 private:
  RunLoop& mainQueue_;
  std::map<std::string, std::map<const void*, Callback>, std::less<>> observers_;
  std::map<std::string, int, std::less<>> registrationCounts_;
  std::vector<Post> posts_;
  int flushes_ = 0;
};

}  // namespace trellis::sim
