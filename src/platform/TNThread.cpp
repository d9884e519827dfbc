#include "platform/TNThread.h"

#include <stdexcept>

namespace voxmit {

TNThread::~TNThread() {
  Terminate();
  WaitFor();
}

void TNThread::Start(std::function<void()> body) {
  if (thread_.joinable()) throw std::logic_error("TNThread: started twice");
  std::lock_guard lock(mutex_);
  stopEvent_.Reset();
  thread_ = std::jthread([body = std::move(body)] { body(); });
  stop_ = thread_.get_stop_source();
}

void TNThread::Terminate() {
  // Both under the lock: a Terminate racing with Start reaches either the old run or the new
  // one whole, never the request of one and the event of the other.
  std::lock_guard lock(mutex_);
  stop_.request_stop();
  stopEvent_.Set();
}

void TNThread::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

bool TNThread::StopRequested() const {
  std::lock_guard lock(mutex_);
  return stop_.stop_requested();
}

} // namespace voxmit
