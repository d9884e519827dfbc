#pragma once
// Date/time values as the store keeps them: local wall-clock text "YYYY-MM-DD HH:MM:SS.fff".
// The fixed width makes text comparison order by time, and julianday() reads it for averages.
// Pure functions: callable from any thread.

#include <cstdint>
#include <string>

#include <Poco/LocalDateTime.h>

namespace voxmit {

std::string DbTimeText(const Poco::LocalDateTime& time);
// The current local time.
std::string DbNow();
// The cutoff for an age of the given minutes: now, on whole seconds, minus minutes x 60 s.
// Negative ages count as 0; ages past 500 years give a cutoff before every stored time.
std::string DbCutoff(int32_t minutes);
// Now minus the given number of seconds (tests and tools that need old rows).
std::string DbSecondsAgo(int64_t seconds);

} // namespace voxmit
