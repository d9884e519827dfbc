#include "platform/RepeatLimiter.h"

namespace voxmit {

namespace {
// Keys beyond this many are pruned of those whose period is over, so that errors that each
// carry their own text (an address, a count) cannot grow the map without bound.
constexpr size_t kPruneAbove = 256;
} // namespace

std::optional<int64_t> TNRepeatLimiter::Admit(const std::string& key, TClock::time_point now) {
  std::lock_guard lock(mutex_);
  if (keys_.size() > kPruneAbove) {
    for (auto it = keys_.begin(); it != keys_.end();)
      it = now - it->second.LastReport >= period_ ? keys_.erase(it) : std::next(it);
  }
  auto [it, first] = keys_.try_emplace(key, TKeyState{now, 0});
  if (first) return 0;
  TKeyState& state = it->second;
  if (now - state.LastReport < period_) {
    ++state.Held;
    return std::nullopt;
  }
  const int64_t held = state.Held;
  state = TKeyState{now, 0};
  return held;
}

std::string TNRepeatLimiter::RepeatsText(int64_t held) {
  if (held <= 0) return {};
  return " (" + std::to_string(held) + " more like it since the last such line)";
}

} // namespace voxmit
