#pragma once
// The owner of one worker thread: a std::jthread and the stop event its body waits on.
//
// Contract:
//  - Start runs the body on a new thread. It belongs to the owner and throws std::logic_error
//    while a started thread has not been waited for; after WaitFor the object may start again
//    (a new run begins with the stop request cleared).
//  - Terminate requests the stop and sets StopEvent; safe from any thread (the body's own
//    included), at any time, any number of times. A Terminate before Start does not reach the
//    thread that Start makes later.
//  - WaitFor joins the thread; it belongs to the owner and must not run on the thread itself.
//    Without a started thread it returns at once.
//  - The destructor terminates and waits. An owner whose body uses the owner's other members
//    declares its TNThread last, or calls Terminate and WaitFor in its own destructor, so the
//    thread ends before those members go.
//  - StopRequested and StopEvent are safe from any thread. The body checks StopRequested
//    between units of work and includes StopEvent in its waits, so a stop wakes it at once.
//  - An exception escaping the body ends the process (as with any thread): bodies catch at
//    their loop.
// Non-copyable, non-movable (the body usually holds a pointer to its owner).

#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

#include "platform/TNEvent.h"

namespace voxmit {

class TNThread {
public:
  TNThread() = default;
  ~TNThread();
  TNThread(const TNThread&) = delete;
  TNThread& operator=(const TNThread&) = delete;

  void Start(std::function<void()> body);
  void Terminate();
  void WaitFor();

  bool StopRequested() const;
  const TNEvent& StopEvent() const { return stopEvent_; }
  // A thread was started and not yet waited for. Owner only.
  bool Started() const { return thread_.joinable(); }

private:
  TNEvent stopEvent_;
  // The stop source of the current run; mutex_ guards it, so Terminate from another thread
  // never meets Start replacing it. Never held while joining.
  mutable std::mutex mutex_;
  std::stop_source stop_{std::nostopstate};
  std::jthread thread_;  // owner only
};

} // namespace voxmit
