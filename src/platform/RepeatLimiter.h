#pragma once
// Lets a repeated report through at most once per period per key, counting the repeats it held
// back, so that an error that recurs thousands of times a second gives one line a second that
// says how often it happened. Safe from any thread (mutex_ guards keys_).
//
//   static TNRepeatLimiter limiter;
//   if (auto held = limiter.Admit(text)) Log(text + TNRepeatLimiter::RepeatsText(*held));

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace voxmit {

class TNRepeatLimiter {
public:
  using TClock = std::chrono::steady_clock;

  explicit TNRepeatLimiter(std::chrono::milliseconds period = std::chrono::seconds(1))
      : period_(period) {}

  // Whether a report of key may go out now: the number of reports of key held back since the
  // last one that went out (0 for a first or rare one), or nothing when this one is held back.
  std::optional<int64_t> Admit(const std::string& key, TClock::time_point now = TClock::now());

  // " (N more like it since the last such line)" for a count above 0, else empty.
  static std::string RepeatsText(int64_t held);

private:
  struct TKeyState {
    TClock::time_point LastReport;
    int64_t Held = 0;
  };

  const std::chrono::milliseconds period_;
  std::mutex mutex_;
  std::unordered_map<std::string, TKeyState> keys_;
};

} // namespace voxmit
