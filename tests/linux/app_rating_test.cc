// The rating prompt with a fake clock and a fake main queue (its thresholds, the scheduled
// request's writes), the delayed main-queue call over a manual run loop, the review window and
// date patterns in two time zones, and the Linux request against a private session bus with and
// without a notification service. Single-threaded except the fake notification service's thread.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "base/system_log.h"
#include "platform/linux/desktop/notification_rating.h"
#include "support/manual_run_loop.h"
#include "support/memory_preferences.h"
#include "support/private_bus.h"
#include "support/service_setters.h"
#include "tools/date_with_format.h"
#include "tools/kw_rating.h"

namespace trellis {
namespace {

using namespace std::chrono_literals;
using ::testing::StartsWith;

struct FakeQueue final : MainQueue {
  void dispatchAfter(std::chrono::nanoseconds delay, Task task) override { pending.push_back({delay, std::move(task)}); }
  std::vector<std::pair<std::chrono::nanoseconds, Task>> pending;
};

struct CountingRequester final : RatingRequester {
  void requestReview() override { ++requests; }
  int requests = 0;
};

struct RecordingLog final : SystemLog {
  void write(int, std::string_view line) override {
    std::lock_guard<std::mutex> lock(mutex);
    lines.emplace_back(line);
  }
  std::mutex mutex;
  std::vector<std::string> lines;
};

class AppRatingTest : public ::testing::Test {
 protected:
  AppRatingTest() : defaults(storage) {
    environment.now = [this] { return now; };
    environment.mainQueue = &queue;
    environment.defaults = &defaults;
    environment.requester = &requester;
  }

  testing::MemoryStorage storage;
  KwUserDefaults defaults;
  FakeQueue queue;
  CountingRequester requester;
  KwTools::RatingEnvironment environment;
  double now = 1'800'000'000.0;
};

TEST_F(AppRatingTest, FreshInstallationStoresTheFirstLaunchAndACountOfOne) {
  KwTools::showAppRating(environment);
  EXPECT_EQ(defaults.doubleForKey(kAppRateFirstLaunchTimeKey), now);
  EXPECT_EQ(defaults.integerForKey(kAppRateExecCountKey), 1);
  EXPECT_TRUE(queue.pending.empty());
  now += 5.0;
  KwTools::showAppRating(environment);
  EXPECT_EQ(defaults.doubleForKey(kAppRateFirstLaunchTimeKey), now - 5.0) << "written once, never again";
  EXPECT_EQ(defaults.integerForKey(kAppRateExecCountKey), 2);
}

TEST_F(AppRatingTest, CountAgeAndLastRequestThresholds) {
  struct Row {
    const char* what;
    std::int64_t count;
    double age;        // seconds since the first launch
    double lastAgo;    // seconds since the last request; < 0: stored as 0.0
    bool schedules;
  } rows[] = {
      {"count 8 becomes 9 and stops", 8, 1e8, -1, false},
      {"count 9 goes on", 9, 1e8, -1, true},
      {"first launch 259,199 s ago stops", 9, 259'199.0, -1, false},
      {"first launch 259,200 s ago goes on", 9, 259'200.0, -1, true},
      {"last request 31,535,999 s ago blocks", 9, 1e8, 31'535'999.0, false},
      {"last request 31,536,000 s ago does not", 9, 1e8, 31'536'000.0, true},
      {"a large count", 1'000'000, 1e8, 1e9, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    queue.pending.clear();
    defaults.setDoubleForKey(now - row.age, kAppRateFirstLaunchTimeKey);
    defaults.setIntegerForKey(row.count, kAppRateExecCountKey);
    defaults.setDoubleForKey(row.lastAgo < 0 ? 0.0 : now - row.lastAgo, kAppRateLastShowTimeKey);
    KwTools::showAppRating(environment);
    EXPECT_EQ(defaults.integerForKey(kAppRateExecCountKey), row.count + 1) << "counted whatever follows";
    ASSERT_EQ(queue.pending.size(), row.schedules ? 1u : 0u);
    if (row.schedules) {
      EXPECT_EQ(queue.pending[0].first, 10'000'000'000ns);
    }
    EXPECT_EQ(requester.requests, 0) << "nothing is requested before the delay";
  }
}

TEST_F(AppRatingTest, TheScheduledRequestResetsTheCountAndStoresTheSchedulingTimePlusTen) {
  const double scheduledAt = now;
  defaults.setDoubleForKey(now - 1e6, kAppRateFirstLaunchTimeKey);
  defaults.setIntegerForKey(9, kAppRateExecCountKey);
  KwTools::showAppRating(environment);
  KwTools::showAppRating(environment);  // within the delay: schedules a second request
  ASSERT_EQ(queue.pending.size(), 2u);
  EXPECT_EQ(defaults.integerForKey(kAppRateExecCountKey), 11);

  now += 123.0;  // the request uses the time captured when it was scheduled
  queue.pending[0].second();
  EXPECT_EQ(defaults.integerForKey(kAppRateExecCountKey), 0);
  EXPECT_EQ(defaults.doubleForKey(kAppRateLastShowTimeKey), scheduledAt + 10.0);
  EXPECT_EQ(requester.requests, 1);

  // The next call, a year minus a second later, is blocked by that stored time.
  queue.pending.clear();
  defaults.setIntegerForKey(9, kAppRateExecCountKey);
  now = scheduledAt + 10.0 + 31'535'999.0;
  KwTools::showAppRating(environment);
  EXPECT_TRUE(queue.pending.empty());
}

TEST(RunLoopMainQueueTest, RunsATaskOnceAfterItsDelay) {
  testing::ManualRunLoop loop;
  RunLoopMainQueue queue(loop);
  int runs = 0;
  std::thread([&] { queue.dispatchAfter(10s, [&] { ++runs; }); }).join();  // any thread may ask
  queue.dispatchAfter(0s, [&] { runs += 100; });
  loop.advance(9'999'999us);
  EXPECT_EQ(runs, 100);
  loop.advance(1us);
  EXPECT_EQ(runs, 101);
  loop.advance(60s);
  EXPECT_EQ(runs, 101) << "a delayed call fires once";
}

// Sets TZ for one scope and restores the previous zone.
class ZoneScope {
 public:
  explicit ZoneScope(const char* zone) {
    if (const char* old = std::getenv("TZ")) previous_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ZoneScope() {
    if (previous_) {
      ::setenv("TZ", previous_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> previous_;
};

TEST(ReviewWindowTest, IsAppleReviewInTwoTimeZones) {
  constexpr double kStartUtc = 1722416400.0;  // 2024-07-31 09:00:00 UTC
  constexpr double kEndUtc = 1722520800.0;    // 2024-08-01 14:00:00 UTC
  struct Zone {
    const char* tz;
    double offset;  // seconds east of UTC
  } zones[] = {{"UTC0", 0.0}, {"JST-9", 9 * 3600.0}};
  for (const Zone& zone : zones) {
    ZoneScope scope(zone.tz);
    SCOPED_TRACE(zone.tz);
    const double start = kStartUtc - zone.offset;
    const double end = kEndUtc - zone.offset;
    struct Moment {
      double at;
      bool inside;
    } moments[] = {{start - 1, false}, {start, false}, {start + 1, true}, {end - 1, true}, {end, false}, {end + 1, false}};
    for (const Moment& moment : moments) {
      KwTools::RatingEnvironment environment;
      environment.now = [&] { return moment.at; };
      EXPECT_EQ(KwTools::isAppleReview(environment), moment.inside) << std::fixed << moment.at;
    }
  }
  // One absolute moment, seen from both zones: 13:59:59 UTC is inside there, 22:59:59 in Japan is not.
  KwTools::RatingEnvironment environment;
  environment.now = [] { return kEndUtc - 1; };
  {
    ZoneScope scope("UTC0");
    EXPECT_TRUE(KwTools::isAppleReview(environment));
  }
  {
    ZoneScope scope("JST-9");
    EXPECT_FALSE(KwTools::isAppleReview(environment));
  }
}

TEST(ReviewWindowTest, DateWithFormat) {
  ZoneScope scope("JST-9");
  const double nine = 9 * 3600.0;
  struct Row {
    const char* format;
    const char* text;
    std::optional<double> utc;
  } rows[] = {
      {"yyyy-MM-dd HH:mm:ss", "2024-07-31 09:00:00", 1722416400.0 - nine},
      {"yyyy-MM-dd HH:mm:ss", "2024-02-29 23:59:59", 1709251199.0 - nine},
      {"yyyy-M-d H:m:s", "2024-7-31 9:0:0", 1722416400.0 - nine},
      {"yyyy-MM-dd'T'HH:mm:ss.SSS", "2024-07-31T09:00:00.250", 1722416400.25 - nine},
      {"'at' yy/MM/dd '''x'''", "at 24/07/31 'x'", 1722384000.0 - nine},
      {"yyyy-MM-dd HH:mm:ss", "2024-7-31 09:00:00", std::nullopt},    // MM takes two digits
      {"yyyy-MM-dd HH:mm:ss", "2023-02-29 00:00:00", std::nullopt},   // no such day
      {"yyyy-MM-dd HH:mm:ss", "2024-04-31 00:00:00", std::nullopt},
      {"yyyy-MM-dd HH:mm:ss", "2024-13-01 00:00:00", std::nullopt},
      {"yyyy-MM-dd HH:mm:ss", "2024-07-31 24:00:00", std::nullopt},
      {"yyyy-MM-dd HH:mm:ss", "2024-07-31 09:60:00", std::nullopt},
      {"yyyy-MM-dd HH:mm:ss", "2024-07-31 09:00:00 ", std::nullopt},  // the whole text must match
      {"yyyy-MM-dd HH:mm:ss", "2024-07-31 09:00", std::nullopt},
      {"yyyy-MM-dd HH:mm:ss", "", std::nullopt},
      {"dd MMM yyyy", "31 Jul 2024", std::nullopt},                  // month names are not read
      {"yyyy-MM-dd 'open", "2024-07-31 open", std::nullopt},         // unterminated quote
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.format) + " | " + row.text);
    std::optional<Date> date = dateWithFormat(row.format, row.text);
    ASSERT_EQ(date.has_value(), row.utc.has_value());
    if (date) {
      EXPECT_EQ(date->secondsSince1970, *row.utc);
    }
  }
}

// A stand-in notification service on the private bus, served from its own thread.
class FakeNotifications {
 public:
  struct Call {
    std::string app, icon, summary, body;
    uint32_t replaces = 99;
    int32_t timeout = 0;
    int actions = -1;
    int hints = -1;
  };

  bool start() {
    if (sd_bus_open_user(&bus_) < 0) return false;
    if (sd_bus_add_object_vtable(bus_, nullptr, lnx::kNotificationsPath, lnx::kNotificationsInterface, kVtable, this) < 0 ||
        sd_bus_request_name(bus_, lnx::kNotificationsService, 0) < 0) {
      return false;
    }
    thread_ = std::thread([this] {
      while (!stop_) {
        if (sd_bus_process(bus_, nullptr) > 0) continue;
        sd_bus_wait(bus_, 50'000);
      }
    });
    return true;
  }
  ~FakeNotifications() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    sd_bus_flush_close_unref(bus_);
  }
  std::vector<Call> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  static int onNotify(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<FakeNotifications*>(userdata);
    Call call;
    const char *app, *icon, *summary, *body;
    if (sd_bus_message_read(m, "susss", &app, &call.replaces, &icon, &summary, &body) < 0) return -EINVAL;
    call.app = app, call.icon = icon, call.summary = summary, call.body = body;
    call.actions = 0;
    sd_bus_message_enter_container(m, 'a', "s");
    const char* action;
    while (sd_bus_message_read(m, "s", &action) > 0) ++call.actions;
    sd_bus_message_exit_container(m);
    call.hints = 0;
    sd_bus_message_enter_container(m, 'a', "{sv}");
    while (sd_bus_message_skip(m, "{sv}") > 0) ++call.hints;
    sd_bus_message_exit_container(m);
    sd_bus_message_read(m, "i", &call.timeout);
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->calls_.push_back(call);
    }
    return sd_bus_reply_method_return(m, "u", static_cast<uint32_t>(7));
  }
  static constexpr sd_bus_vtable kVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", onNotify, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END,
  };

  sd_bus* bus_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Call> calls_;
};

TEST(NotificationRatingTest, ANotificationWhenTheServiceIsPresentElseALogLine) {
  RecordingLog log;
  testing::setService(&Services::log, &log);
  const char* previous = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string saved = previous ? previous : "";
  lnx::NotificationRatingRequester requester;
  const std::string prefix =
      "rating request: Enjoying trellis? If trellis is useful to you, please take a moment to rate it. "
      "(no desktop notification: ";
  {
    testing::PrivateBus bus;
    ASSERT_TRUE(bus.ok());
    requester.requestReview();  // a bus, but no notification service on it
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_THAT(log.lines[0], StartsWith(prefix));
    EXPECT_EQ(requester.lastNotificationId(), 0u);

    FakeNotifications service;
    ASSERT_TRUE(service.start());
    requester.requestReview();
    EXPECT_EQ(log.lines.size(), 1u) << "no log line when the notification went out";
    EXPECT_EQ(requester.lastNotificationId(), 7u);
    const std::vector<FakeNotifications::Call> calls = service.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].app, "trellis");
    EXPECT_EQ(calls[0].replaces, 0u);
    EXPECT_EQ(calls[0].icon, "");
    EXPECT_EQ(calls[0].summary, lnx::kRatingSummary);
    EXPECT_EQ(calls[0].body, lnx::kRatingBody);
    EXPECT_EQ(calls[0].actions, 0);
    EXPECT_EQ(calls[0].hints, 0);
    EXPECT_EQ(calls[0].timeout, -1);
  }
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/trellis-test-bus", 1);
  requester.requestReview();  // no bus at all
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_THAT(log.lines[1], StartsWith(prefix + "no session bus: "));
  if (previous) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1);
  } else {
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
  testing::setService(&Services::log, nullptr);
}

}  // namespace
}  // namespace trellis
