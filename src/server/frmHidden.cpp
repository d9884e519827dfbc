#include "server/frmHidden.h"

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "carriers/ACUGK.h"
#include "host/LogFile.h"
#include "host/WindowMessages.h"
#include "platform/IntervalTimer.h"
#include "platform/OperatorUi.h"

namespace voxmit {

namespace {

// The flash timer's tick, posted like the platform's timer message.
constexpr uint32_t WM_TIMER = 0x0113;
constexpr intptr_t kFlashTimerId = 1;

// Mouse messages of the tray callback.
constexpr intptr_t WM_LBUTTONDOWN = 0x201;
constexpr intptr_t WM_LBUTTONDBLCLK = 0x203;
constexpr intptr_t WM_RBUTTONDOWN = 0x204;

} // namespace

THiddenForm::THiddenForm(const TServerModules& modules)
    : modules_(modules), flashTimer_(std::make_unique<TNIntervalTimer>(WM_TIMER, kFlashTimerId)) {
  ShowIcon(false);
  SetTrayTip("Stopped");
}

THiddenForm::~THiddenForm() { flashTimer_->Stop(); }

void THiddenForm::HandleMessage(const TNPostedMessage& m) {
  switch (m.Code) {
    case WM_TRAY_NOTIFY:
      if (!ServerExiting) OnTrayNotify(m.LParam);
      break;
    case WM_LOG_LINE:
      WriteLogLine(m.Text);  // flushed once the batch is handled
      break;
    case WM_START_SERVER:
      if (!ServerRunning) StartServer();
      break;
    case WM_STOP_SERVER:
      if (ServerRunning) StopServer();
      // A stop asked for by a server thread that cannot go on carries the reason.
      if (!m.Text.empty()) {
        fatalStop_ = m.Text;
        OperatorUi().ShowWarning(m.Text);
      }
      break;
    case WM_SHOW_TRAY_MENU:
      // The tray menu belongs to the desktop interface; headless there is nothing to pop up.
      break;
    case WM_TIMER:
      if (m.WParam == kFlashTimerId) OnFlashTick();
      break;
    case WM_GATEKEEPER_CONNECT:
    case WM_GATEKEEPER_SEND:
    case WM_GATEKEEPER_CREATE:
      HandleGatekeeperMessage(gatekeeper_, m);
      break;
    default:
      break;
  }
}

bool THiddenForm::StartServer() {
  OperatorUi().SetBusyCursor(true);
  ServerStarting = true;
  lastStartError_.clear();
  try {
    // A step that fails is logged and undone by the run itself: the server is Stopped again.
    run_ = std::make_unique<TServerRun>(modules_, StartStepHook);
  } catch (const std::exception& e) {
    lastStartError_ = e.what();
    ServerStarting = false;
    OperatorUi().SetBusyCursor(false);
    OperatorUi().ShowWarning(lastStartError_);
    return false;
  }
  ServerRunning = true;
  ServerStarting = false;
  if (RunChanged) RunChanged(run_.get());
  OperatorUi().SetBusyCursor(false);
  ShowIcon(true);
  SetTrayTip("Running");
  return true;
}

bool THiddenForm::StopServer() {
  bool clean = true;
  if (RunChanged) RunChanged(nullptr);
  try {
    if (run_) run_->Broadcast("Voxmit Server Shutting Down.");
  } catch (const std::exception& e) {
    clean = false;
    LogMessage(std::string("StopServer: the shutdown notice failed: ") + e.what());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(StopNoticeDelayMs));
  OperatorUi().SetBusyCursor(true);
  ServerStopping = true;

  if (run_ && !run_->Shutdown(StopStepHook)) clean = false;  // the stop sequence (ServerRun.h)
  run_.reset();

  ServerStopping = false;
  ServerRunning = false;
  OperatorUi().SetBusyCursor(false);
  ShowIcon(false);
  SetTrayTip("Stopped");
  return clean;
}

bool THiddenForm::StopForExit() {
  bool clean = true;
  try {
    if (ServerRunning) clean = StopServer();
  } catch (const std::exception& e) {
    clean = false;
    std::cerr << "VoxmitServer2: the stop failed: " << e.what() << std::endl;
  }
  // Whatever the stop left, the process ends: a server half stopped and still running would
  // be worse than one that is gone.
  ServerRunning = false;
  try {
    Exit();
  } catch (const std::exception& e) {
    clean = false;
    std::cerr << "VoxmitServer2: the exit failed: " << e.what() << std::endl;
  }
  return clean;
}

bool THiddenForm::Exit() {
  if (ServerRunning) {
    OperatorUi().ShowWarning("Can't exit - Please Stop the VoxmitServer first.");
    return false;
  }
  ServerExiting = true;
  SetTrayTip("Exiting - Please wait.");
  flashTimer_->Stop();
  return true;
}

void THiddenForm::OnTrayNotify(intptr_t mouseMessage) {
  if (mouseMessage == WM_LBUTTONDBLCLK) {
    if (ServerRunning)
      StopServer();
    else
      StartServer();
  }
  // WM_LBUTTONDOWN and WM_RBUTTONDOWN bring the desktop interface forward; headless has none.
  (void)WM_LBUTTONDOWN;
  (void)WM_RBUTTONDOWN;
}

void THiddenForm::FlashTrayIcon(int count, int intervalMs) {
  flashCount_ = count;
  flashTick_ = 0;
  flashTimer_->Start(intervalMs);
}

bool THiddenForm::Flashing() const { return flashTimer_->Enabled(); }

void THiddenForm::OnFlashTick() {
  if (!flashTimer_->Enabled()) return;  // a tick posted before the timer was stopped
  const bool odd = flashTick_ % 2 == 1;
  if (runningPair_)
    OperatorUi().SetTrayIcon(odd ? tiRunning : tiRunningFlash);
  else
    OperatorUi().SetTrayIcon(odd ? tiStopped : tiStoppedFlash);
  ++flashTick_;
  if (flashTick_ >= 2 * flashCount_) flashTimer_->Stop();
}

void THiddenForm::ShowIcon(bool running) {
  runningPair_ = running;
  OperatorUi().SetTrayIcon(running ? tiRunning : tiStopped);
}

void THiddenForm::SetTrayTip(const std::string& status) {
  SetServerStatusTip(status);
}

bool PostStartServer(int32_t timeoutMs) {
  if (FormsReady.Wait(timeoutMs) != wrSignaled) {
    LogMessage("PostStartServer: the hidden form is not ready after " +
               std::to_string(timeoutMs) + " ms; the start request is dropped");
    return false;
  }
  TNMainLoop::Instance().Post(WM_START_SERVER);
  return true;
}

void PostStopServer() { TNMainLoop::Instance().Post(WM_STOP_SERVER); }

void PostShowTrayMenu(int x, int y) { TNMainLoop::Instance().Post(WM_SHOW_TRAY_MENU, x, y); }

void TerminateServerProcess() {
  ServerExiting = true;
  std::_Exit(0);
}

} // namespace voxmit
