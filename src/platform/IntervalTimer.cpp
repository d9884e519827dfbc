#include "platform/IntervalTimer.h"

#include "platform/TNMainLoop.h"

namespace voxmit {

TNIntervalTimer::TNIntervalTimer(uint32_t code, intptr_t id) : code_(code), id_(id) {}

TNIntervalTimer::~TNIntervalTimer() { Stop(); }

void TNIntervalTimer::Start(int intervalMs) {
  Stop();
  {
    std::lock_guard lock(mutex_);
    enabled_ = true;
  }
  thread_ = std::thread([this, intervalMs] { Run(intervalMs); });
}

void TNIntervalTimer::Stop() {
  {
    std::lock_guard lock(mutex_);
    enabled_ = false;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool TNIntervalTimer::Enabled() const {
  std::lock_guard lock(mutex_);
  return enabled_;
}

void TNIntervalTimer::Run(int intervalMs) {
  std::unique_lock lock(mutex_);
  while (enabled_) {
    if (wake_.wait_for(lock, std::chrono::milliseconds(intervalMs), [this] { return !enabled_; }))
      break;
    TNMainLoop::Instance().Post(code_, id_);
  }
}

} // namespace voxmit
