#pragma once
// A timer for the UI thread: posts a message to the main loop every interval until stopped or
// destroyed. Start and Stop run on the UI thread; the ticks are handled there like any post.
// A tick posted just before Stop may still arrive afterwards: handlers check Enabled.

#include <atomic>
#include <cstdint>

#include "platform/TNThread.h"

namespace voxmit {

class TNIntervalTimer {
public:
  // code and id are what each tick posts (WParam = id).
  TNIntervalTimer(uint32_t code, intptr_t id);
  ~TNIntervalTimer();
  TNIntervalTimer(const TNIntervalTimer&) = delete;
  TNIntervalTimer& operator=(const TNIntervalTimer&) = delete;

  void Start(int intervalMs);
  void Stop();
  bool Enabled() const { return enabled_; }

private:
  void Run(int intervalMs);

  const uint32_t code_;
  const intptr_t id_;
  std::atomic<bool> enabled_{false};
  TNThread thread_;
};

} // namespace voxmit
