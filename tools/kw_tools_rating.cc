// The rating prompt and the review window. Preference reads and writes happen on the caller's
// thread; the scheduled request runs on the main queue.
#include <chrono>
#include <limits>

#include "base/services.h"
#include "tools/date_with_format.h"
#include "tools/kw_rating.h"
#include "tools/kw_tools.h"

namespace trellis {

namespace {

double secondsSince1970() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

KwTools::RatingEnvironment KwTools::RatingEnvironment::system() {
  RatingEnvironment environment;
  environment.now = secondsSince1970;
  environment.mainQueue = &MainQueue::main();
  environment.defaults = &KwUserDefaults::share();
  environment.requester = &required(installedServices().rating, "the rating requester");
  return environment;
}

void KwTools::showAppRating() { showAppRating(RatingEnvironment::system()); }

void KwTools::showAppRating(const RatingEnvironment& environment) {
  KwUserDefaults& defaults = *environment.defaults;
  double firstLaunch = defaults.doubleForKey(kAppRateFirstLaunchTimeKey);
  if (firstLaunch == 0.0) {
    firstLaunch = environment.now();
    defaults.setDoubleForKey(firstLaunch, kAppRateFirstLaunchTimeKey);
  }
  const std::int64_t count = defaults.integerForKey(kAppRateExecCountKey);
  // Counted on every call, whatever follows. Saturated rather than wrapped: a count that cannot
  // grow any more still passes the count test.
  defaults.setIntegerForKey(count == std::numeric_limits<std::int64_t>::max() ? count : count + 1,
                            kAppRateExecCountKey);
  if (count < kAppRateMinimumCount) return;

  const double now = environment.now();
  if (now - firstLaunch < kAppRateMinimumAge) return;
  const double last = defaults.doubleForKey(kAppRateLastShowTimeKey);
  if (last > 0.0 && now - last < kAppRateMinimumInterval) return;

  KwUserDefaults* target = environment.defaults;
  RatingRequester* requester = environment.requester;
  environment.mainQueue->dispatchAfter(kAppRateDelay, [target, requester, now] {
    target->setDoubleForKey(now + kAppRateDelaySeconds, kAppRateLastShowTimeKey);
    target->setIntegerForKey(0, kAppRateExecCountKey);
    requester->requestReview();
  });
}

bool KwTools::isAppleReview() {
  // Only the clock: the window needs neither the main queue nor the preferences.
  RatingEnvironment environment;
  environment.now = secondsSince1970;
  return isAppleReview(environment);
}

bool KwTools::isAppleReview(const RatingEnvironment& environment) {
  const std::optional<Date> start = dateWithFormat(kAppReviewFormat, kAppReviewStart);
  const std::optional<Date> end = dateWithFormat(kAppReviewFormat, kAppReviewEnd);
  if (!start || !end) return false;
  const double now = environment.now();
  return end->secondsSince1970 > now && start->secondsSince1970 < now;
}

}  // namespace trellis
