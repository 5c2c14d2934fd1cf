// The rating request on a Linux desktop: a desktop notification (org.freedesktop.Notifications on
// the session bus) asking the user to rate trellis; where no notification service answers, a line
// in the system log instead. Blocks the calling thread for the one method call (at most
// kNotifyTimeout); each request opens and closes its own bus connection, so any thread may call.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "tools/kw_rating.h"

namespace trellis::lnx {

inline constexpr const char* kNotificationsService = "org.freedesktop.Notifications";
inline constexpr const char* kNotificationsPath = "/org/freedesktop/Notifications";
inline constexpr const char* kNotificationsInterface = "org.freedesktop.Notifications";
inline constexpr std::chrono::seconds kNotifyTimeout{5};

inline constexpr const char* kRatingAppName = "trellis";
inline constexpr const char* kRatingSummary = "Enjoying trellis?";
inline constexpr const char* kRatingBody = "If trellis is useful to you, please take a moment to rate it.";

class NotificationRatingRequester final : public RatingRequester {
 public:
  // Calls Notify(app_name "trellis", replaces_id 0, app_icon "", summary, body, no actions,
  // no hints, expire_timeout -1). When the session bus or the service cannot be reached, or the
  // call fails, writes "rating request: <summary> <body> (no desktop notification: <reason>)" to
  // the system log at notice priority.
  void requestReview() override;

  // What the last request did: the notification id the service gave, or 0 when it was logged.
  unsigned lastNotificationId() const { return lastId_; }

 private:
  std::atomic<unsigned> lastId_{0};
};

}  // namespace trellis::lnx
