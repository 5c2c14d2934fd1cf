// The process-wide registry between objects of this process and the machine-wide notification
// centre. Per name it keeps (target, handler) records in registration order and registers itself
// with the centre once per name; an arriving notification queues one main-queue task per live
// record, and each task calls its handler with the user information.
//
// Threading: every operation belongs to the main thread; the centre delivers on the main thread
// too. Handlers always run later, from the main queue, never inside the delivery itself, so a
// handler may add or remove registrations freely.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/value.h"

namespace trellis {

class DistributedCenter;
class RunLoop;

using UserInfo = std::optional<Dictionary>;

// One registration. The target is held weakly: its record stays until the next removal for the
// name, but a destroyed target is never called.
class KwCFNotificationObserver {
 public:
  // Calls the handler on a live target.
  using Selector = std::function<void(void* target, const UserInfo& userInfo)>;

  std::shared_ptr<void> observer() const { return observer_.lock(); }
  void setObserver(std::weak_ptr<void> observer) { observer_ = std::move(observer); }
  const Selector& selector() const { return selector_; }
  void setSelector(Selector selector) { selector_ = std::move(selector); }

 private:
  std::weak_ptr<void> observer_;
  Selector selector_;
};

class KwCFNotificationManager {
 public:
  using Selector = KwCFNotificationObserver::Selector;
  using ObserverDict =
      std::map<std::string, std::vector<std::shared_ptr<KwCFNotificationObserver>>, std::less<>>;

  // A manager over `center` whose tasks go to `mainQueue`. Both must outlive the manager.
  KwCFNotificationManager(DistributedCenter& center, RunLoop& mainQueue);
  ~KwCFNotificationManager();
  KwCFNotificationManager(const KwCFNotificationManager&) = delete;
  KwCFNotificationManager& operator=(const KwCFNotificationManager&) = delete;

  // The one instance, over the installed distributed centre and main loop; never destroyed.
  static KwCFNotificationManager& share();

  // Registers `selector` of `observer` for `name`. An empty name, or one that cannot be
  // registered for receiving (see protocol::isRegistrableName), is ignored. A target has at most
  // one handler per name: registering again replaces the handler.
  void addObserver(const std::shared_ptr<void>& observer, Selector selector, std::string_view name);

  // Handlers that ignore the user information, and handlers that take it.
  template <class T>
  void addObserver(const std::shared_ptr<T>& observer, void (T::*handler)(), std::string_view name) {
    addObserver(std::static_pointer_cast<void>(observer),
                [handler](void* target, const UserInfo&) { (static_cast<T*>(target)->*handler)(); }, name);
  }
  template <class T>
  void addObserver(const std::shared_ptr<T>& observer, void (T::*handler)(const UserInfo&),
                   std::string_view name) {
    addObserver(std::static_pointer_cast<void>(observer),
                [handler](void* target, const UserInfo& info) { (static_cast<T*>(target)->*handler)(info); },
                name);
  }

  // Removes the target's records for `name` and every record whose target is gone; a name left
  // without records is unregistered from the centre.
  void removeObserver(const void* observer, std::string_view name);
  // `removeObserver(observer, name)` for every registered name.
  void removeObserver(const void* observer);
  // Unregisters every name from the centre and forgets all records.
  void removeAllObservers();

  // Posts to the centre without waiting for receivers; reports nothing.
  void postCFNotificationWithName(std::string_view name, const Dictionary* userInfo);
  void postCFNotificationWithName(std::string_view name, const Dictionary& userInfo) {
    postCFNotificationWithName(name, &userInfo);
  }
  void postCFNotificationWithName(std::string_view name) { postCFNotificationWithName(name, nullptr); }

  const ObserverDict& observerDict() const { return observerDict_; }

 private:
  void notificationCallback(const std::string& name, const UserInfo& userInfo);

  DistributedCenter& center_;
  RunLoop& mainQueue_;
  ObserverDict observerDict_;
};

}  // namespace trellis
