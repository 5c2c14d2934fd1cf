// The process's local notification centre: an in-process registry of observers by notification
// name, for notifications that never leave the process ("SensorError" from the fan readings).
// Posting delivers synchronously, on the posting thread, to every observer of the name.
//
// Threading: every operation is safe from any thread. The registry is guarded by a mutex that is
// never held while a callback runs, so a callback may add or remove observers, or post.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace trellis {

// What an observer receives: the notification's name and its object (a text; empty when the
// poster gave none).
struct LocalNotification {
  std::string name;
  std::string object;
};

class LocalNotificationCenter {
 public:
  using Callback = std::function<void(const LocalNotification& notification)>;
  // Identifies one registration; never 0.
  using Token = std::uint64_t;

  LocalNotificationCenter() = default;
  LocalNotificationCenter(const LocalNotificationCenter&) = delete;
  LocalNotificationCenter& operator=(const LocalNotificationCenter&) = delete;

  // The process's default centre: made on first use, never destroyed.
  static LocalNotificationCenter& defaultCenter();

  // Registers `callback` for notifications named `name` and returns the registration's token.
  // An empty callback registers nothing and gives 0.
  Token addObserver(std::string_view name, Callback callback);

  // Ends the registration `token` (unknown tokens and 0 are ignored). Once this returns, no post
  // starts the callback again; a call already running on another thread may still be finishing.
  void removeObserver(Token token);

  // Calls every observer of `name`, in registration order, on the calling thread, before
  // returning. Observers added during the post are not called by it; observers removed during it
  // are not called after their removal.
  void postNotificationName(std::string_view name, std::string_view object);

 private:
  struct Observer {
    Token token;
    std::string name;
    Callback callback;
    bool removed = false;  // guarded by mutex_
  };

  std::mutex mutex_;
  std::vector<std::shared_ptr<Observer>> observers_;
  Token nextToken_ = 1;
};

}  // namespace trellis
