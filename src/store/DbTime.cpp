#include "store/DbTime.h"

#include <algorithm>

#include <Poco/DateTimeFormatter.h>
#include <Poco/Timespan.h>

namespace voxmit {

std::string DbTimeText(const Poco::LocalDateTime& time) {
  return Poco::DateTimeFormatter::format(time, "%Y-%m-%d %H:%M:%S.%i");
}

std::string DbNow() { return DbTimeText(Poco::LocalDateTime()); }

std::string DbSecondsAgo(int64_t seconds) {
  Poco::LocalDateTime now;
  return DbTimeText(now - Poco::Timespan(seconds, 0));
}

std::string DbCutoff(int32_t minutes) {
  // An age set far beyond any stored row means "keep everything"; a date before year 1 would
  // not even format. A negative age counts as none.
  constexpr int32_t kFiveHundredYears = 500 * 525960;
  if (minutes > kFiveHundredYears) return "0001-01-01 00:00:00.000";
  minutes = std::max(minutes, 0);
  Poco::LocalDateTime now;
  Poco::LocalDateTime whole(now.year(), now.month(), now.day(), now.hour(), now.minute(),
                            now.second());
  return DbTimeText(whole - Poco::Timespan(static_cast<int64_t>(minutes) * 60, 0));
}

} // namespace voxmit
