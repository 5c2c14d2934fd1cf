// The rating prompt's parts: its preference keys and constants, the platform's rating request,
// and the environment KwTools::showAppRating and isAppleReview work in (tools/kw_tools.h). The
// environment's parts are borrowed: they must outlive every request it scheduled. A rating
// request runs on the main thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>

#include "base/main_queue.h"
#include "tools/kw_tools.h"
#include "tools/kw_user_defaults.h"

namespace trellis {

inline constexpr std::string_view kAppRateFirstLaunchTimeKey = "AppRateFirstLaunchTime";  // double
inline constexpr std::string_view kAppRateExecCountKey = "AppRateExecCount";              // integer
inline constexpr std::string_view kAppRateLastShowTimeKey = "AppRateLastShowTime";        // double

inline constexpr std::int64_t kAppRateMinimumCount = 9;              // the stored count before the call
inline constexpr double kAppRateMinimumAge = 259'200.0;              // 3 days since the first launch
inline constexpr double kAppRateMinimumInterval = 31'536'000.0;      // 365 days between requests
inline constexpr std::chrono::nanoseconds kAppRateDelay{10'000'000'000};
inline constexpr double kAppRateDelaySeconds = 10.0;

inline constexpr std::string_view kAppReviewStart = "2024-07-31 09:00:00";
inline constexpr std::string_view kAppReviewEnd = "2024-08-01 14:00:00";
inline constexpr std::string_view kAppReviewFormat = "yyyy-MM-dd HH:mm:ss";

// The platform's in-app rating request: it shows or withholds its own prompt at its discretion
// and reports nothing back.
class RatingRequester {
 public:
  virtual ~RatingRequester() = default;
  virtual void requestReview() = 0;
};


struct KwTools::RatingEnvironment {
  // The current time as seconds since 1970-01-01 00:00:00 UTC.
  std::function<double()> now;
  MainQueue* mainQueue = nullptr;
  KwUserDefaults* defaults = nullptr;  // its plain family holds the three keys
  RatingRequester* requester = nullptr;

  // The real clock, MainQueue::main() (so the main run loop must be installed),
  // KwUserDefaults::share() and the process's rating requester (base/services.h).
  static RatingEnvironment system();
};

}  // namespace trellis
