#pragma once
// Manual-reset event on an eventfd. The descriptor is readable exactly while the event is set,
// so it can be polled together with other descriptors (WaitForAny, the main loop).
// Every operation is safe to call from any thread.

#include <chrono>
#include <cstdint>
#include <span>

namespace voxmit {

// Results of a wait, with the values the containers report.
enum TWaitResult : int32_t { wrSignaled = 0, wrTimeout = 1, wrAbandoned = 2, wrError = 3 };

class TNEvent {
public:
  explicit TNEvent(bool initiallySet = false);
  ~TNEvent();
  TNEvent(const TNEvent&) = delete;
  TNEvent& operator=(const TNEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // Waits until the event is set; a negative timeout waits forever.
  TWaitResult Wait(int32_t timeoutMs) const;
  // Resets the event if it was set, as one indivisible step: of several threads racing for
  // one set event exactly one gets true.
  bool TryTake();
  // Waits until the event can be taken and takes it (the device pool's free event).
  TWaitResult WaitAndTake(int32_t timeoutMs);

  int Fd() const { return fd_; }

private:
  int fd_;
};

constexpr int32_t kMaxWaitObjects = 64;
constexpr int32_t kWaitTimeout = -1;

// Waits for any of up to 64 events; returns the lowest index among the set ones, or
// kWaitTimeout. Nothing is reset. A negative timeout waits forever. A nullptr entry is never
// signalled. Throws std::invalid_argument past 64 events, or for no event and no timeout
// (a wait that could never end); std::system_error when poll fails.
int32_t WaitForAny(std::span<const TNEvent* const> events, int32_t timeoutMs);

} // namespace voxmit
