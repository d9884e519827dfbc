// The repeat limiter: one report per key and period, with the count of those held back.

#include <gtest/gtest.h>

#include "platform/RepeatLimiter.h"

using namespace std::chrono_literals;

namespace voxmit::test {
namespace {

TEST(RepeatLimiter, OneReportPerKeyAndSecondWithTheHeldBackCount) {
  TNRepeatLimiter limiter;
  const auto t0 = TNRepeatLimiter::TClock::now();
  struct TStep {
    const char* Key;
    std::chrono::milliseconds At;
    std::optional<int64_t> Expected;
  };
  const TStep steps[] = {
      {"a", 0ms, 0},             // first: goes out
      {"a", 1ms, std::nullopt},  // repeats within the second are held back
      {"a", 500ms, std::nullopt},
      {"b", 600ms, 0},           // another key has its own second
      {"a", 999ms, std::nullopt},
      {"a", 1000ms, 3},          // the next second: out, with the three held back
      {"a", 1001ms, std::nullopt},
      {"b", 5000ms, 0},          // nothing held back since its last report
      {"a", 5000ms, 1},
  };
  for (const TStep& s : steps)
    EXPECT_EQ(limiter.Admit(s.Key, t0 + s.At), s.Expected) << s.Key << " at " << s.At.count();
}

TEST(RepeatLimiter, ManyDistinctKeysDoNotGrowWithoutBound) {
  TNRepeatLimiter limiter;
  const auto t0 = TNRepeatLimiter::TClock::now();
  for (int i = 0; i < 10000; ++i)
    EXPECT_EQ(limiter.Admit("error " + std::to_string(i), t0 + std::chrono::milliseconds(i)), 0);
  // A key seen within its second is still held back after the pruning.
  EXPECT_EQ(limiter.Admit("error 9999", t0 + 10000ms), std::nullopt);
}

TEST(RepeatLimiter, RepeatsText) {
  EXPECT_EQ(TNRepeatLimiter::RepeatsText(0), "");
  EXPECT_EQ(TNRepeatLimiter::RepeatsText(42), " (42 more like it since the last such line)");
}

} // namespace
} // namespace voxmit::test
