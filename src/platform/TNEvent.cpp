#include "platform/TNEvent.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace voxmit {

namespace {

using TClock = std::chrono::steady_clock;

// A deadline for a timeout in milliseconds; a negative timeout never expires.
class TDeadline {
public:
  explicit TDeadline(int32_t timeoutMs)
      : forever_(timeoutMs < 0), end_(TClock::now() + std::chrono::milliseconds(timeoutMs)) {}

  // What is left, for poll: -1 forever, else milliseconds rounded up (never below 0).
  int Remaining() const {
    if (forever_) return -1;
    const auto left = end_ - TClock::now();
    if (left <= TClock::duration::zero()) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
  }
  bool Expired() const { return !forever_ && TClock::now() >= end_; }

private:
  bool forever_;
  TClock::time_point end_;
};

// poll() that restarts on EINTR with the time left; returns poll's result (-1 on error).
int PollUntil(pollfd* fds, nfds_t count, const TDeadline& deadline) {
  for (;;) {
    const int r = poll(fds, count, deadline.Remaining());
    if (r >= 0 || errno != EINTR) return r;
  }
}

} // namespace

TNEvent::TNEvent(bool initiallySet)
    : fd_(eventfd(initiallySet ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

TNEvent::~TNEvent() { close(fd_); }

void TNEvent::Set() {
  const uint64_t one = 1;
  // EAGAIN means the counter is at its maximum: the event is set already.
  while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void TNEvent::Reset() { TryTake(); }

bool TNEvent::IsSet() const {
  pollfd p{fd_, POLLIN, 0};
  return PollUntil(&p, 1, TDeadline(0)) > 0 && (p.revents & POLLIN);
}

TWaitResult TNEvent::Wait(int32_t timeoutMs) const {
  pollfd p{fd_, POLLIN, 0};
  const int r = PollUntil(&p, 1, TDeadline(timeoutMs));
  if (r < 0) return wrError;
  return r > 0 ? wrSignaled : wrTimeout;
}

bool TNEvent::TryTake() {
  // One read of a non-semaphore eventfd returns the whole counter and zeroes it, atomically:
  // of several readers only one sees a value, the others get EAGAIN.
  uint64_t value = 0;
  for (;;) {
    if (read(fd_, &value, sizeof value) == static_cast<ssize_t>(sizeof value)) return true;
    if (errno != EINTR) return false;
  }
}

TWaitResult TNEvent::WaitAndTake(int32_t timeoutMs) {
  const TDeadline deadline(timeoutMs);
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    const int r = PollUntil(&p, 1, deadline);
    if (r < 0) return wrError;
    // Another thread may take the event between the poll and the read: wait again.
    if (r > 0 && TryTake()) return wrSignaled;
    if (deadline.Expired()) return wrTimeout;
  }
}

int32_t WaitForAny(std::span<const TNEvent* const> events, int32_t timeoutMs) {
  if (events.size() > static_cast<size_t>(kMaxWaitObjects))
    throw std::invalid_argument("WaitForAny: more than 64 events");
  if (events.empty() && timeoutMs < 0)
    throw std::invalid_argument("WaitForAny: waiting forever on no event");
  std::vector<pollfd> fds(events.size());
  for (size_t i = 0; i < events.size(); ++i)
    fds[i] = pollfd{events[i] ? events[i]->Fd() : -1, POLLIN, 0};  // poll skips fd -1
  const int r = PollUntil(fds.data(), fds.size(), TDeadline(timeoutMs));
  if (r < 0) throw std::system_error(errno, std::generic_category(), "WaitForAny");
  for (size_t i = 0; i < fds.size(); ++i)
    if (fds[i].revents & POLLIN) return static_cast<int32_t>(i);
  return kWaitTimeout;
}

} // namespace voxmit
