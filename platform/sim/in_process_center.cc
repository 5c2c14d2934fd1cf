#include "platform/sim/in_process_center.h"

#include <memory>

namespace trellis::sim {

bool InProcessCenter::addObserver(const void* observer, Callback callback, std::string_view name) {
  auto it = observers_.find(name);
  if (it == observers_.end()) it = observers_.emplace(std::string(name), std::map<const void*, Callback>{}).first;
  if (it->second.empty()) ++registrationCounts_[std::string(name)];
  it->second[observer] = std::move(callback);
  return true;
}

void InProcessCenter::removeObserver(const void* observer, std::string_view name) {
  auto it = observers_.find(name);
  if (it == observers_.end()) return;
  it->second.erase(observer);
  if (it->second.empty()) observers_.erase(it);
}

void InProcessCenter::postNotification(std::string_view name, const Dictionary* userInfo) {
  std::optional<Dictionary> info;
  if (userInfo != nullptr) info = *userInfo;
  posts_.push_back(Post{std::string(name), info});
  // Like a bus message coming back, the delivery arrives later on the main thread.
  mainQueue_.post([this, name = std::string(name), info = std::move(info)] { deliver(name, std::nullopt, info); });
}

void InProcessCenter::deliver(std::string_view name, std::optional<std::string> object,
                              std::optional<Dictionary> userInfo) {
  auto it = observers_.find(name);
  if (it == observers_.end()) return;
  // Callbacks may change the registrations: call a snapshot.
  std::vector<Callback> callbacks;
  for (const auto& [observer, callback] : it->second) callbacks.push_back(callback);
  const std::string arrived(name);
  for (const auto& callback : callbacks) callback(arrived, object, userInfo);
}

int InProcessCenter::registrations(std::string_view name) const {
  auto it = registrationCounts_.find(name);
  return it == registrationCounts_.end() ? 0 : it->second;
}

bool InProcessCenter::isRegistered(std::string_view name) const { return observers_.count(name) != 0; }

}  // namespace trellis::sim
