#pragma once
// Tests synchronise on a polled condition with a generous deadline, never on a bare sleep.

#include <chrono>
#include <thread>

namespace voxmit::test {

template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= end) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

} // namespace voxmit::test
