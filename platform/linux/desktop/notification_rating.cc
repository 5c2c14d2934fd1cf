// The rating request as a desktop notification over sd-bus, with the system log as fallback. The
// connection lives for one request, on the calling thread.
#include "platform/linux/desktop/notification_rating.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>

#include "base/system_log.h"
#include "platform/linux/io/errno_text.h"

namespace trellis::lnx {

namespace {

// The notification id, or the reason there is none.
std::string notify(unsigned* id) {
  sd_bus* bus = nullptr;
  int r = sd_bus_open_user(&bus);
  if (r < 0) return "no session bus: " + errnoText(r);
  (void)sd_bus_set_method_call_timeout(bus, static_cast<uint64_t>(
                                                std::chrono::duration_cast<std::chrono::microseconds>(kNotifyTimeout).count()));
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  r = sd_bus_call_method(bus, kNotificationsService, kNotificationsPath, kNotificationsInterface, "Notify", &error,
                         &reply, "susssasa{sv}i", kRatingAppName, static_cast<uint32_t>(0), "", kRatingSummary,
                         kRatingBody, 0, 0, static_cast<int32_t>(-1));
  std::string reason;
  if (r < 0) {
    reason = error.message != nullptr ? std::string(error.message) : errnoText(r);
  } else {
    uint32_t given = 0;
    r = sd_bus_message_read(reply, "u", &given);
    if (r < 0) reason = "unexpected reply: " + errnoText(r);
    *id = given;
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_flush_close_unref(bus);
  return reason;
}

}  // namespace

void NotificationRatingRequester::requestReview() {
  unsigned id = 0;
  const std::string reason = notify(&id);
  if (reason.empty()) {
    lastId_ = id;
    return;
  }
  lastId_ = 0;
  systemLog().write(kLogNotice, std::string("rating request: ") + kRatingSummary + " " + kRatingBody +
                                    " (no desktop notification: " + reason + ")");
}

}  // namespace trellis::lnx

