// The in-process notification registry. Any thread: the mutex guards the observer list and each
// observer's removed flag; callbacks run outside it, from a snapshot taken under it.
#include "notify/local_notification_center.h"

#include <algorithm>

namespace trellis {

LocalNotificationCenter& LocalNotificationCenter::defaultCenter() {
  // Never destroyed, so a post during the process's exit still finds its registry.
  static LocalNotificationCenter* const center = new LocalNotificationCenter;
  return *center;
}

LocalNotificationCenter::Token LocalNotificationCenter::addObserver(std::string_view name, Callback callback) {
  if (!callback) return 0;
  std::lock_guard<std::mutex> guard(mutex_);
  auto observer = std::make_shared<Observer>();
  observer->token = nextToken_++;
  observer->name = std::string(name);
  observer->callback = std::move(callback);
  observers_.push_back(observer);
  return observer->token;
}

void LocalNotificationCenter::removeObserver(Token token) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = std::find_if(observers_.begin(), observers_.end(),
                         [token](const std::shared_ptr<Observer>& o) { return o->token == token; });
  if (it == observers_.end()) return;
  (*it)->removed = true;
  observers_.erase(it);
}

void LocalNotificationCenter::postNotificationName(std::string_view name, std::string_view object) {
  std::vector<std::shared_ptr<Observer>> targets;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& observer : observers_) {
      if (observer->name == name) targets.push_back(observer);
    }
  }
  const LocalNotification notification{std::string(name), std::string(object)};
  for (const auto& observer : targets) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (observer->removed) continue;
    }
    // The snapshot keeps the observer, and so its callback, alive while it runs.
    observer->callback(notification);
  }
}

}  // namespace trellis
