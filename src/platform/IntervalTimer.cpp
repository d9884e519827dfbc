#include "platform/IntervalTimer.h"

#include "platform/TNMainLoop.h"

namespace voxmit {

TNIntervalTimer::TNIntervalTimer(uint32_t code, intptr_t id) : code_(code), id_(id) {}

TNIntervalTimer::~TNIntervalTimer() { Stop(); }

void TNIntervalTimer::Start(int intervalMs) {
  Stop();
  enabled_ = true;
  thread_.Start([this, intervalMs] { Run(intervalMs); });
}

void TNIntervalTimer::Stop() {
  enabled_ = false;
  thread_.Terminate();
  thread_.WaitFor();
}

void TNIntervalTimer::Run(int intervalMs) {
  while (thread_.StopEvent().Wait(intervalMs) == wrTimeout) TNMainLoop::Instance().Post(code_, id_);
}

} // namespace voxmit
