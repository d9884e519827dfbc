#pragma once
// A timer for the UI thread: posts a message to the main loop every interval until stopped or
// destroyed. Start and Stop run on the UI thread; the ticks are handled there like any post.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

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
  bool Enabled() const;

private:
  void Run(int intervalMs);

  const uint32_t code_;
  const intptr_t id_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool enabled_ = false;
  std::thread thread_;
};

} // namespace voxmit
