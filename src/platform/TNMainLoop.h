#pragma once
// The UI thread's message queue: other threads post messages (code, two integers, an owned
// text); the main thread drains them in posting order. Post is safe from any thread; Drain and
// Run belong to the main thread. Quit, QuitRequested and Pending are safe from any thread;
// Quit wakes Run. mutex_ guards queue_ and quit_; handlers run without it, so a handler may
// Post. Quit is final for the loop: a later Run returns at once.

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>

#include "TNEvent.h"

namespace voxmit {

struct TNPostedMessage {
  uint32_t Code = 0;
  intptr_t WParam = 0;
  intptr_t LParam = 0;
  std::string Text;  // the posted copy; released with the message
};

class TNMainLoop {
public:
  using THandler = std::function<void(const TNPostedMessage&)>;

  // The process-wide loop of the UI thread.
  static TNMainLoop& Instance();

  TNMainLoop() = default;
  TNMainLoop(const TNMainLoop&) = delete;
  TNMainLoop& operator=(const TNMainLoop&) = delete;

  void Post(uint32_t code, intptr_t wParam = 0, intptr_t lParam = 0, std::string text = {});
  // Handles every message queued now, in order; returns how many. A handler's exception is
  // passed to onError (or swallowed) and the next message is handled.
  size_t Drain(const THandler& handler);
  // Headless loop: waits on the queue and on SIGINT/SIGTERM (through a signalfd, with both
  // signals blocked in the calling thread; block them in main before starting any thread so
  // every thread inherits the mask). onSignal runs for each signal; the loop ends after Quit.
  // An exception from onSignal goes to onError like a handler's.
  // The signals stay blocked after Run returns (a late SIGTERM must not kill the process
  // before its orderly exit). Throws std::system_error when the signalfd cannot be made.
  // After a drain that handled messages Run pauses kGatherMs (a stop signal ends the pause), so
  // that what workers post meanwhile is handled in one batch.
  void Run(const THandler& handler, const std::function<void(int signalNo)>& onSignal);
  static constexpr int kGatherMs = 5;
  void Quit();
  bool QuitRequested() const;

  // Readable while messages wait (for a QSocketNotifier or a poll).
  int Fd() const { return ready_.Fd(); }
  size_t Pending() const;

  // Set by the main thread before Drain or Run; called on the main thread.
  std::function<void(const std::exception&)> onError;
  // Called after each Drain that handled a message, so that handlers may leave output
  // buffered and have it written once per batch. Its exception goes to onError.
  std::function<void()> afterDrain;

private:
  void ReportError(const std::exception& e);
  void HandleSignal(const std::function<void(int)>& onSignal, int signalNo);

  mutable std::mutex mutex_;
  std::deque<TNPostedMessage> queue_;
  TNEvent ready_;
  bool quit_ = false;
};

// Blocks SIGINT and SIGTERM in the calling thread (call first thing in main).
void BlockStopSignals();

// An onError for a loop without a window (the headless run): each error as the line
// "VoxmitServer2: warning: <what()>" on out, the same text at most once a second, with the
// count of the repeats held back. out must outlive the function.
std::function<void(const std::exception&)> ErrorWarningsTo(std::ostream& out);

} // namespace voxmit
