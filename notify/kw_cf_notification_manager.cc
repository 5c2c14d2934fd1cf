#include "notify/kw_cf_notification_manager.h"

#include <algorithm>

#include "base/run_loop.h"
#include "base/services.h"
#include "notify/distributed_center.h"
#include "notify/protocol.h"

namespace trellis {

DistributedCenter& DistributedCenter::distributed() {
  return required(installedServices().distributedCenter, "the distributed centre");
}

KwCFNotificationManager::KwCFNotificationManager(DistributedCenter& center, RunLoop& mainQueue)
    : center_(center), mainQueue_(mainQueue) {}

KwCFNotificationManager::~KwCFNotificationManager() { removeAllObservers(); }

KwCFNotificationManager& KwCFNotificationManager::share() {
  // Leaked on purpose: the manager lives until the process ends and its teardown never runs.
  static KwCFNotificationManager* instance =
      new KwCFNotificationManager(DistributedCenter::distributed(), RunLoop::main());
  return *instance;
}

void KwCFNotificationManager::addObserver(const std::shared_ptr<void>& observer, Selector selector,
                                          std::string_view name) {
  if (name.empty() || !protocol::isRegistrableName(name)) return;

  auto it = observerDict_.find(name);
  if (it == observerDict_.end()) {
    center_.addObserver(
        this,
        [this](const std::string& arrived, const std::optional<std::string>&, const UserInfo& userInfo) {
          notificationCallback(arrived, userInfo);
        },
        name);
    it = observerDict_.emplace(std::string(name), ObserverDict::mapped_type{}).first;
  }

  auto& records = it->second;
  for (const auto& record : records) {
    if (record->observer() == observer) {
      record->setSelector(std::move(selector));
      return;
    }
  }
  auto record = std::make_shared<KwCFNotificationObserver>();
  record->setSelector(std::move(selector));
  record->setObserver(observer);
  records.push_back(std::move(record));
}

void KwCFNotificationManager::removeObserver(const void* observer, std::string_view name) {
  auto it = observerDict_.find(name);
  if (it != observerDict_.end()) {
    std::erase_if(it->second, [observer](const auto& record) {
      std::shared_ptr<void> target = record->observer();
      return target == nullptr || target.get() == observer;
    });
    if (!it->second.empty()) return;
  }
  center_.removeObserver(this, name);
  if (it != observerDict_.end()) observerDict_.erase(it);
}

void KwCFNotificationManager::removeObserver(const void* observer) {
  std::vector<std::string> names;
  names.reserve(observerDict_.size());
  for (const auto& [name, records] : observerDict_) names.push_back(name);
  for (const auto& name : names) removeObserver(observer, name);
}

void KwCFNotificationManager::removeAllObservers() {
  for (const auto& [name, records] : observerDict_) center_.removeObserver(this, name);
  observerDict_.clear();
}

void KwCFNotificationManager::postCFNotificationWithName(std::string_view name, const Dictionary* userInfo) {
  center_.postNotification(name, userInfo);
}

void KwCFNotificationManager::notificationCallback(const std::string& name, const UserInfo& userInfo) {
  auto it = observerDict_.find(name);
  if (it == observerDict_.end() || it->second.empty()) return;

  // One copy of the user information, shared by the tasks of this delivery.
  auto info = std::make_shared<const UserInfo>(userInfo);
  for (const auto& record : it->second) {
    if (record->observer() == nullptr || !record->selector()) continue;
    mainQueue_.post([record, info] {
      std::shared_ptr<void> target = record->observer();
      if (target == nullptr || !record->selector()) return;
      record->selector()(target.get(), *info);
    });
  }
}

}  // namespace trellis
