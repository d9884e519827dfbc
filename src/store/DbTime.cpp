#include "store/DbTime.h"

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
  Poco::LocalDateTime now;
  Poco::LocalDateTime whole(now.year(), now.month(), now.day(), now.hour(), now.minute(),
                            now.second());
  return DbTimeText(whole - Poco::Timespan(static_cast<int64_t>(minutes) * 60, 0));
}

} // namespace voxmit
