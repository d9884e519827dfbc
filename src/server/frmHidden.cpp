#include "server/frmHidden.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include <Poco/Net/DNS.h>

#include "clients/BaseClient.h"
#include "clients/TcpClient.h"
#include "clients/dmodComps.h"
#include "common/ServerGlobals.h"
#include "dispatch/DatabaseThreads.h"
#include "dispatch/dmodScheduler.h"
#include "host/LogFile.h"
#include "host/WindowMessages.h"
#include "platform/IntervalTimer.h"
#include "platform/OperatorUi.h"
#include "platform/ThreadRegistry.h"
#include "server/ServerOptionValues.h"
#include "store/dmodData.h"
#include "store/dmodMaintenance.h"

namespace voxmit {

namespace {
THiddenForm* gForm = nullptr;

// The flash timer's tick, posted like the platform's timer message.
constexpr uint32_t WM_TIMER = 0x0113;
constexpr intptr_t kFlashTimerId = 1;

// Mouse messages of the tray callback.
constexpr intptr_t WM_LBUTTONDOWN = 0x201;
constexpr intptr_t WM_LBUTTONDBLCLK = 0x203;
constexpr intptr_t WM_RBUTTONDOWN = 0x204;

// How long StopServer and exit wait for self-ending threads (sessions) to finish.
constexpr int32_t kThreadsEndTimeoutMs = 30000;

// The intake threads while the server runs (UI thread only).
std::unique_ptr<TNewCarrierThread> gNewCarrierThread;
std::unique_ptr<TNewMessageThread> gNewMessageThread;

// Stops the new-message thread (which stores what is still queued), then the new-carrier
// thread.
void StopIntakeThreads() {
  if (gNewMessageThread) gNewMessageThread->RequestStop();
  if (gNewCarrierThread) gNewCarrierThread->RequestStop();
  gNewMessageThread.reset();
  gNewCarrierThread.reset();
}
} // namespace

THiddenForm::THiddenForm() : flashTimer_(std::make_unique<TNIntervalTimer>(WM_TIMER, kFlashTimerId)) {
  gForm = this;
  ShowIcon(false);
  SetTrayTip("Stopped");
}

THiddenForm::~THiddenForm() {
  flashTimer_->Stop();
  if (gForm == this) gForm = nullptr;
}

THiddenForm* THiddenForm::Instance() { return gForm; }

void THiddenForm::HandleMessage(const TNPostedMessage& m) {
  switch (m.Code) {
    case WM_TRAY_NOTIFY:
      if (!ServerExiting) OnTrayNotify(m.LParam);
      break;
    case WM_LOG_LINE:
      HandleLogLine(m.Text);
      break;
    case WM_START_SERVER:
      if (!ServerRunning) StartServer();
      break;
    case WM_STOP_SERVER:
      if (ServerRunning) StopServer();
      break;
    case WM_SHOW_TRAY_MENU:
      // The tray menu belongs to the desktop interface; headless there is nothing to pop up.
      break;
    case WM_TIMER:
      if (m.WParam == kFlashTimerId) OnFlashTick();
      break;
    default:
      break;
  }
}

bool THiddenForm::StartServer() {
  OperatorUi().SetBusyCursor(true);
  ServerStarting = true;
  lastStartError_.clear();
  undo_.clear();
  try {
    // Every option's handler runs once with the current values; the log file is opened below,
    // once the folder and the limits are in effect.
    ApplyAllOptionValues(true);

    if (OptionBool("CompactDatabaseOnStart")) DMData()->CompactDatabase();

    // Clients whose messages maintenance finishes hear at once, as from the scheduler below.
    DmMaintenance()->SetWakeClient(WakeClientConfirmations);
    DmMaintenance()->StartupCleanup();
    DmMaintenance()->StartMaintenance();
    undo_.push_back([] { DmMaintenance()->StopMaintenance(); });

    OpenLog();
    undo_.push_back([] { CloseLog(); });

    TDMComps::Instance()->SetPort(OptionInt("PortNo"));

    CarriersList = std::make_shared<TCarriersList>();
    DMData()->LoadCarriers(*CarriersList);
    ClientsList = std::make_shared<TClientsList>();
    InputMessageQueue = std::make_shared<TInputMessageQueue>();
    undo_.push_back([] {
      InputMessageQueue.reset();
      ClientsList.reset();
      CarriersList.reset();
    });

    gNewCarrierThread = std::make_unique<TNewCarrierThread>(CarriersList, *DMData());
    gNewMessageThread = std::make_unique<TNewMessageThread>(InputMessageQueue, ClientsList,
                                                            CarriersList, *DMData());
    undo_.push_back([] { StopIntakeThreads(); });

    ServerHostIP();  // resolved now, so that no notice waits for the resolver
    TDMComps::Instance()->SetConnectionHandler(StartClientConnection);
    TDMComps::Instance()->Activate();
    SetBroadcastOrigin(Poco::Net::DNS::hostName(), TDMComps::Instance()->BoundPort());
    undo_.push_back([] {
      TDMComps::Instance()->Deactivate();
      SetBroadcastOrigin("", -1);
    });

    // Channels tell the clients about port and device trouble; the notice reaches whoever is
    // logged on when it is sent. The clients whose messages the scheduler finishes are woken.
    CreateScheduler(
        {.Channels = {.Notice = [](const std::string& notice) { BroadcastToClients(notice); },
                      .Activity = {}},
         .WakeClient = WakeClientConfirmations});
    undo_.push_back([] { FreeScheduler(); });
  } catch (const std::exception& e) {
    lastStartError_ = e.what();
    // Written at once, on this (the UI) thread, so that the line still reaches the log file
    // that the roll-back is about to close.
    HandleLogLine(lastStartError_);
    RollBack();
    ServerStarting = false;
    OperatorUi().SetBusyCursor(false);
    OperatorUi().ShowWarning(lastStartError_);
    return false;
  }
  undo_.clear();
  ServerRunning = true;
  ServerStarting = false;
  OperatorUi().SetBusyCursor(false);
  ShowIcon(true);
  SetTrayTip("Running");
  return true;
}

void THiddenForm::RollBack() {
  while (!undo_.empty()) {
    try {
      undo_.back()();
    } catch (const std::exception& e) {
      LogMessage(std::string("StartServer roll-back: ") + e.what());
    }
    undo_.pop_back();
  }
}

void THiddenForm::StopServer() {
  BroadcastToClients("Voxmit Server Shutting Down.");
  std::this_thread::sleep_for(std::chrono::milliseconds(StopNoticeDelayMs));
  OperatorUi().SetBusyCursor(true);
  ServerStopping = true;

  if (ClientsList) DisconnectAllClients(*ClientsList);
  TDMComps::Instance()->Deactivate();
  DisconnectAllConnections();  // those that never logged on
  // The scheduler goes before the threads are waited for: its channels end only when their
  // iterators stop them, and their last results still find the input queue and the clients
  // list in place.
  FreeScheduler();
  SetBroadcastOrigin("", -1);
  // The sessions end before the intake threads: the replies they could not deliver travel back
  // through the input queue, which the new-message thread drains before it ends.
  TNThreadRegistry::Instance().WaitAll(kThreadsEndTimeoutMs);
  StopIntakeThreads();
  CloseLog();
  DmMaintenance()->StopMaintenance();

  InputMessageQueue.reset();
  ClientsList.reset();
  CarriersList.reset();

  ServerStopping = false;
  ServerRunning = false;
  OperatorUi().SetBusyCursor(false);
  ShowIcon(false);
  SetTrayTip("Stopped");
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

void PostStartServer() {
  while (!FormsReady) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  TNMainLoop::Instance().Post(WM_START_SERVER);
}

void PostStopServer() { TNMainLoop::Instance().Post(WM_STOP_SERVER); }

void PostShowTrayMenu(int x, int y) { TNMainLoop::Instance().Post(WM_SHOW_TRAY_MENU, x, y); }

void TerminateServerProcess() {
  ServerExiting = true;
  std::_Exit(0);
}

} // namespace voxmit
