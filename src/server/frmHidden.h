#pragma once
// The hidden main form: owns the tray state, runs the server's start and stop sequences and
// handles the custom messages that other threads post to the UI thread. Every member runs on
// the UI thread; other threads use the Post* functions and read the lifecycle flags.

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/TNMainLoop.h"

namespace voxmit {

// Lifecycle flags: written on the UI thread only, read from any thread.
inline std::atomic<bool> ServerRunning{false};
inline std::atomic<bool> ServerStarting{false};
inline std::atomic<bool> ServerStopping{false};
inline std::atomic<bool> ServerExiting{false};
inline std::atomic<bool> FormsReady{false};

class TNIntervalTimer;

class THiddenForm {
public:
  THiddenForm();
  ~THiddenForm();
  THiddenForm(const THiddenForm&) = delete;
  THiddenForm& operator=(const THiddenForm&) = delete;

  // The one instance while it exists (set by the constructor), or nullptr.
  static THiddenForm* Instance();

  // Dispatches one posted message (the main loop's handler).
  void HandleMessage(const TNPostedMessage& message);

  // Brings the server up; false when a step failed (the steps already done were undone, the
  // server is Stopped again and the error was reported to the operator and the log).
  bool StartServer();
  void StopServer();
  // The menu's Exit: refused while the server runs. Returns true when the process may end.
  bool Exit();

  void FlashTrayIcon(int count, int intervalMs);
  bool Flashing() const;
  void SetTrayTip(const std::string& status);

  // The last start failure's text (empty when the last start succeeded).
  const std::string& LastStartError() const { return lastStartError_; }

  // How long StopServer waits after the shutdown notice; the notice wants about a second.
  int StopNoticeDelayMs = 1000;

private:
  void OnTrayNotify(intptr_t mouseMessage);
  void OnFlashTick();
  void ShowIcon(bool running);
  void RollBack();

  std::vector<std::function<void()>> undo_;  // undo steps of a start in progress
  std::string lastStartError_;
  std::unique_ptr<TNIntervalTimer> flashTimer_;
  bool runningPair_ = false;
  int flashTick_ = 0;
  int flashCount_ = 0;
};

// Callable from any thread.
void PostStartServer();
void PostStopServer();
void PostShowTrayMenu(int x, int y);

// Removes the tray state and ends the process at once with exit code 0.
[[noreturn]] void TerminateServerProcess();

} // namespace voxmit
