#pragma once
// The hidden main form: owns the tray state, runs the server's start and stop sequences and
// handles the custom messages that other threads post to the UI thread. Every member runs on
// the UI thread; other threads use the Post* functions and read the lifecycle flags.
//
// Ownership: the form receives the process's data modules (they outlive it) and owns the
// server run while the server runs (ServerRun.h): StartServer creates it, StopServer destroys
// it. Destroying the form with the server still running stops it.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/TNEvent.h"
#include "platform/TNMainLoop.h"
#include "server/ServerModules.h"
#include "server/ServerRun.h"

namespace voxmit {

// Lifecycle flags: written on the UI thread only, read from any thread.
inline std::atomic<bool> ServerRunning{false};
inline std::atomic<bool> ServerStarting{false};
inline std::atomic<bool> ServerStopping{false};
inline std::atomic<bool> ServerExiting{false};
// Set by process start once the hidden form exists; PostStartServer waits for it.
inline TNEvent FormsReady;

class TNIntervalTimer;
class ACUGateKeeper;

class THiddenForm {
public:
  explicit THiddenForm(const TServerModules& modules);
  ~THiddenForm();
  THiddenForm(const THiddenForm&) = delete;
  THiddenForm& operator=(const THiddenForm&) = delete;

  // Dispatches one posted message (the main loop's handler).
  void HandleMessage(const TNPostedMessage& message);

  // Brings the server up; false when a step failed (the steps already done were undone, the
  // server is Stopped again and the error was reported to the operator and the log).
  bool StartServer();
  // Takes the server down. Every step runs even when one before it failed, and the server is
  // Stopped afterwards in any case; false when a step failed (each failure is in the log).
  bool StopServer();
  // The menu's Exit: refused while the server runs. Returns true when the process may end.
  bool Exit();
  // The end of a headless process (SIGINT, SIGTERM): stops the server if it runs and exits,
  // whatever fails on the way; false when anything failed (the process then ends with a
  // non-zero exit code).
  bool StopForExit();

  void FlashTrayIcon(int count, int intervalMs);
  bool Flashing() const;
  void SetTrayTip(const std::string& status);

  // Why a server thread stopped the server because it could not go on (the database file was
  // deleted or replaced), or empty. A headless process ends with exit code 1 then.
  const std::string& FatalStop() const { return fatalStop_; }

  // The last start failure's text (empty when the last start succeeded).
  const std::string& LastStartError() const { return lastStartError_; }

  // How long StopServer waits after the shutdown notice; the notice wants about a second.
  int StopNoticeDelayMs = 1000;
  // Passed to each start's run (TStartStepHook): a test makes a named start step fail.
  TStartStepHook StartStepHook;
  // Passed to each stop (TStopStepHook): a test makes a named stop step fail.
  TStopStepHook StopStepHook;

  // The running server, or nullptr.
  TServerRun* Run() const { return run_.get(); }

  // Told of the run that new sessions may join: the run once it is up, nullptr before its
  // stop begins (so no session joins a run that is stopping). UI thread.
  std::function<void(TServerRun*)> RunChanged;

private:
  void OnTrayNotify(intptr_t mouseMessage);
  void OnFlashTick();
  void ShowIcon(bool running);

  const TServerModules modules_;
  std::unique_ptr<TServerRun> run_;
  std::string lastStartError_;
  std::string fatalStop_;
  std::unique_ptr<TNIntervalTimer> flashTimer_;
  bool runningPair_ = false;
  int flashTick_ = 0;
  int flashCount_ = 0;
  // The terminal-network gatekeeper, made at a gatekeeper channel's first request and kept
  // until the form goes.
  std::unique_ptr<ACUGateKeeper> gatekeeper_;
};

// Callable from any thread. PostStartServer first waits up to timeoutMs for FormsReady; when
// the form never gets ready it logs that and gives up (false).
constexpr int32_t kFormsReadyTimeoutMs = 30000;
bool PostStartServer(int32_t timeoutMs = kFormsReadyTimeoutMs);
void PostStopServer();
void PostShowTrayMenu(int x, int y);

// Removes the tray state and ends the process at once with exit code 0.
[[noreturn]] void TerminateServerProcess();

} // namespace voxmit
