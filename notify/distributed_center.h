// The machine-wide publish/subscribe channel that carries a notification (a name, an optional
// object text and optional user information) between processes. Implementations deliver
// callbacks on the main thread, from the main run loop; all operations belong to the main thread
// except where noted.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "model/value.h"

namespace trellis {

class DistributedCenter {
 public:
  using Callback = std::function<void(const std::string& name, const std::optional<std::string>& object,
                                      const std::optional<Dictionary>& userInfo)>;

  virtual ~DistributedCenter() = default;

  // Starts delivery of `name`, from any sender and for any object, to `callback` on behalf of
  // `observer` (an identity only; never dereferenced). Registering the same observer and name
  // again replaces the callback. Returns false when the channel refused the registration.
  virtual bool addObserver(const void* observer, Callback callback, std::string_view name) = 0;

  // Stops delivery of `name` to `observer`. Unknown pairs are ignored.
  virtual void removeObserver(const void* observer, std::string_view name) = 0;

  // Posts to every process registered for `name`, without waiting for receivers. A post that
  // cannot be sent is lost, as a post nobody listens to is.
  virtual void postNotification(std::string_view name, const Dictionary* userInfo) = 0;

  // Pushes everything posted so far out of the process; used before the process ends.
  virtual void flush() = 0;

  // The process's machine-wide centre (base/services.h).
  static DistributedCenter& distributed();
};

}  // namespace trellis
