#include "platform/TNMainLoop.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "platform/RepeatLimiter.h"

namespace voxmit {

namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

// A signalfd for SIGINT and SIGTERM, closed on destruction.
class TStopSignalFd {
public:
  TStopSignalFd() {
    const sigset_t set = StopSignals();
    fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "signalfd");
  }
  ~TStopSignalFd() { close(fd_); }
  TStopSignalFd(const TStopSignalFd&) = delete;
  TStopSignalFd& operator=(const TStopSignalFd&) = delete;

  int Fd() const { return fd_; }
  // The next pending signal's number, or 0 when none is pending.
  int Take() const {
    signalfd_siginfo info{};
    for (;;) {
      if (read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        return static_cast<int>(info.ssi_signo);
      if (errno != EINTR) return 0;
    }
  }

private:
  int fd_ = -1;
};

} // namespace

TNMainLoop& TNMainLoop::Instance() {
  static TNMainLoop loop;
  return loop;
}

void TNMainLoop::Post(uint32_t code, intptr_t wParam, intptr_t lParam, std::string text) {
  std::lock_guard lock(mutex_);
  queue_.push_back(TNPostedMessage{code, wParam, lParam, std::move(text)});
  // Drain resets the event when it empties the queue, so only the first message of a batch
  // needs to set it; the others would each cost a system call under the lock.
  if (queue_.size() == 1) ready_.Set();
}

size_t TNMainLoop::Drain(const THandler& handler) {
  std::deque<TNPostedMessage> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(queue_);
    // The queue is empty now; a Post during the handlers below sets the event again.
    ready_.Reset();
  }
  for (const auto& message : batch) {
    try {
      handler(message);
    } catch (const std::exception& e) {
      ReportError(e);
    } catch (...) {
      ReportError(std::runtime_error("unknown exception in a message handler"));
    }
  }
  if (!batch.empty() && afterDrain) {
    try {
      afterDrain();
    } catch (const std::exception& e) {
      ReportError(e);
    } catch (...) {
      ReportError(std::runtime_error("unknown exception after a batch of messages"));
    }
  }
  return batch.size();
}

void TNMainLoop::ReportError(const std::exception& e) {
  if (!onError) return;
  try {
    onError(e);
  } catch (...) {
    // The error reporter's own failure must not stop the drain.
  }
}

void TNMainLoop::Run(const THandler& handler, const std::function<void(int signalNo)>& onSignal) {
  BlockStopSignals();
  const TStopSignalFd signals;
  while (!QuitRequested()) {
    pollfd fds[2] = {{Fd(), POLLIN, 0}, {signals.Fd(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "TNMainLoop::Run");
    }
    if (fds[1].revents & POLLIN) {
      for (int signalNo = signals.Take(); signalNo != 0; signalNo = signals.Take())
        HandleSignal(onSignal, signalNo);
    }
    if ((fds[0].revents & POLLIN) && Drain(handler) > 0 && !QuitRequested()) {
      // Under load workers post a line or two at a time: a short pause lets the next lines
      // gather, so the loop wakes (and writes) a few hundred times a second, not once per
      // line. A stop signal still ends the pause at once.
      pollfd stop{signals.Fd(), POLLIN, 0};
      while (poll(&stop, 1, kGatherMs) < 0 && errno == EINTR) {
      }
    }
  }
}

void TNMainLoop::HandleSignal(const std::function<void(int)>& onSignal, int signalNo) {
  if (!onSignal) return;
  try {
    onSignal(signalNo);
  } catch (const std::exception& e) {
    ReportError(e);
  } catch (...) {
    ReportError(std::runtime_error("unknown exception in a signal handler"));
  }
}

void TNMainLoop::Quit() {
  std::lock_guard lock(mutex_);
  quit_ = true;
  ready_.Set();  // wakes Run; the next Drain finds nothing and resets the event
}

bool TNMainLoop::QuitRequested() const {
  std::lock_guard lock(mutex_);
  return quit_;
}

size_t TNMainLoop::Pending() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

void BlockStopSignals() {
  const sigset_t set = StopSignals();
  const int r = pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (r != 0) throw std::system_error(r, std::generic_category(), "pthread_sigmask");
}

std::function<void(const std::exception&)> ErrorWarningsTo(std::ostream& out) {
  return [&out, limiter = std::make_shared<TNRepeatLimiter>()](const std::exception& e) {
    const std::string text = e.what();
    if (const auto held = limiter->Admit(text))
      out << "VoxmitServer2: warning: " << text << TNRepeatLimiter::RepeatsText(*held)
          << std::endl;
  };
}

} // namespace voxmit
