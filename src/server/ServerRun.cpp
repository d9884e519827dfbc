#include "server/ServerRun.h"

#include <exception>

#include <Poco/Net/DNS.h>

#include "clients/TcpClient.h"
#include "clients/dmodComps.h"
#include "dispatch/DatabaseThreads.h"
#include "dispatch/dmodScheduler.h"
#include "host/LogFile.h"
#include "host/dmodServerOptions.h"
#include "platform/ThreadRegistry.h"
#include "server/RunReport.h"
#include "store/dmodData.h"
#include "store/dmodMaintenance.h"

namespace voxmit {

namespace {

// How long the stop waits for self-ending threads (sessions, channel workers) to finish.
constexpr int32_t kThreadsEndTimeoutMs = 30000;

// Runs one stop step, then the test hook; a failure is logged and the stop goes on. Returns
// false when it failed.
template <class Step>
bool StopStep(const char* context, const char* name, const TStopStepHook& hook, Step step) {
  try {
    step();
    if (hook) hook(name);
    return true;
  } catch (const std::exception& e) {
    LogMessage(std::string(context) + ": " + name + ": " + e.what());
  } catch (...) {
    LogMessage(std::string(context) + ": " + name + ": an unknown error");
  }
  return false;
}

} // namespace

const char* StartStepName(TStartStep step) {
  switch (step) {
    case TStartStep::ApplyOptions: return "apply options";
    case TStartStep::CompactDatabase: return "compact database";
    case TStartStep::StartupCleanup: return "start-up clean-up";
    case TStartStep::StartMaintenance: return "start maintenance";
    case TStartStep::OpenLog: return "open log";
    case TStartStep::LoadCarriers: return "load carriers";
    case TStartStep::StartIntake: return "start intake threads";
    case TStartStep::ActivateListener: return "activate listener";
    case TStartStep::CreateScheduler: return "create scheduler";
  }
  return "?";
}

TServerRun::TServerRun(const TServerModules& modules, const TStartStepHook& hook)
    : modules_(modules) {
  try {
    Start(hook);
  } catch (const std::exception& e) {
    // Written at once, on this (the UI) thread, so that the line still reaches the log file
    // that the roll-back is about to close.
    try {
      HandleLogLine(e.what());
    } catch (...) {
      // A log file that cannot be written must neither hide the start's own error nor skip
      // the roll-back.
    }
    Stop("StartServer roll-back");
    throw;
  }
}

TServerRun::~TServerRun() {
  try {
    Stop("StopServer");
  } catch (...) {
    // Every step catches its own failure; nothing may leave a destructor.
  }
}

bool TServerRun::Shutdown(const TStopStepHook& hook) { return Stop("StopServer", hook) == 0; }

void TServerRun::Start(const TStartStepHook& hook) {
  const auto step = [&hook](TStartStep s) {
    if (hook) hook(s);
  };
  TKioOptions& options = modules_.Options.KioOptions;

  // Every option's handler runs once with the current values; the log file is opened below,
  // once the folder and the limits are in effect.
  step(TStartStep::ApplyOptions);
  modules_.Options.ApplyAllValues(true);

  step(TStartStep::CompactDatabase);
  if (options.OptionByName("CompactDatabaseOnStart").AsBool())
    modules_.Data.CompactDatabase();
  else
    modules_.Data.Reopen();

  // The clients list exists from here on (empty until the listener opens), so that whoever
  // finishes a message can wake its client at once.
  clients_ = std::make_shared<TClientsList>();
  modules_.Maintenance.SetWakeClient(WakeClient());

  step(TStartStep::StartupCleanup);
  modules_.Maintenance.StartupCleanup();

  step(TStartStep::StartMaintenance);
  modules_.Maintenance.StartMaintenance();
  maintenanceStarted_ = true;

  step(TStartStep::OpenLog);
  OpenLog();
  logOpened_ = true;

  modules_.Comps.SetPort(options.OptionByName("PortNo").AsInteger());

  step(TStartStep::LoadCarriers);
  auto carriers = std::make_shared<TCarriersList>();
  modules_.Data.LoadCarriers(*carriers);
  carriers_ = std::move(carriers);
  input_ = std::make_shared<TInputMessageQueue>();
  connections_ = std::make_shared<TTcpConnections>();

  step(TStartStep::StartIntake);
  newCarriers_ = std::make_unique<TNewCarrierThread>(carriers_, modules_.Data);
  newMessages_ =
      std::make_unique<TNewMessageThread>(input_, clients_, carriers_, modules_.Data);

  step(TStartStep::ActivateListener);
  ActivateListener();

  step(TStartStep::CreateScheduler);
  scheduler_ = CreateScheduler(modules_.Devices, carriers_, clients_, modules_.Data,
                               TSchedulerCallbacks{.Channels = channelCallbacks_,
                                                   .WakeClient = WakeClient()});

  countersAtStart_ = TMessageCounters::Instance().Snapshot();
  // Written at once on this (the UI) thread, as the stop line is; a log file that cannot be
  // written must not undo a start that succeeded.
  StopStep("StartServer", "report the start", nullptr,
           [&] { HandleLogLine(StartLine(modules_, modules_.Comps.BoundPort())); });
  PublishRunGauges({input_, clients_, &modules_.Devices, modules_.Data.File()});
  started_ = true;
}

void TServerRun::ActivateListener() {
  ServerHostIP();  // resolved now, so that no notice waits for the resolver
  TDMComps& comps = modules_.Comps;
  comps.SetConnectionHandler(
      [context = SessionContext(), connections = connections_](Poco::Net::StreamSocket socket) {
        StartClientConnection(std::move(socket), context, connections);
      });
  try {
    comps.Activate();
  } catch (...) {
    comps.SetConnectionHandler(nullptr);
    throw;
  }
  listening_ = true;
  origin_ = TNoticeOrigin{Poco::Net::DNS::hostName(), comps.BoundPort()};
  // Channels tell every logged-on client about port and device trouble.
  channelCallbacks_.Notice = [clients = clients_, origin = origin_](const std::string& notice) {
    BroadcastToClients(*clients, origin, notice);
  };
}

int TServerRun::Stop(const char* context, const TStopStepHook& hook) {
  int failed = 0;
  WithdrawRunGauges();
  const auto step = [&](const char* name, auto body) {
    if (!StopStep(context, name, hook, body)) ++failed;
  };
  if (clients_) step("disconnect sessions", [&] { DisconnectAllClients(*clients_); });
  if (listening_) {
    step("close listener", [&] {
      listening_ = false;
      // The handler goes only once the accept thread has ended, whatever Deactivate says.
      try {
        modules_.Comps.Deactivate();
      } catch (...) {
        modules_.Comps.SetConnectionHandler(nullptr);
        throw;
      }
      modules_.Comps.SetConnectionHandler(nullptr);
    });
  }
  if (connections_) step("close connections", [&] { connections_->DisconnectAll(); });
  if (scheduler_) step("free scheduler", [&] { scheduler_.reset(); });
  step("wait for threads", [] { TNThreadRegistry::Instance().WaitAll(kThreadsEndTimeoutMs); });
  if (newMessages_ || newCarriers_) step("stop intake", [&] { StopIntake(); });
  if (started_) {
    // Written at once: a posted line would reach the main loop only after the log file below
    // is closed.
    step("report the run", [&] {
      HandleLogLine(StopLine(countersAtStart_, TMessageCounters::Instance().Snapshot()));
    });
    started_ = false;
  }
  if (logOpened_) {
    step("close log", [&] {
      logOpened_ = false;
      CloseLog();
    });
  }
  if (maintenanceStarted_) {
    step("stop maintenance", [&] {
      maintenanceStarted_ = false;
      modules_.Maintenance.StopMaintenance();
    });
  }
  if (clients_ || connections_ || input_ || carriers_) {
    step("drop containers", [&] {
      modules_.Maintenance.SetWakeClient(nullptr);
      connections_.reset();
      input_.reset();
      clients_.reset();
      carriers_.reset();
    });
  }
  return failed;
}

void TServerRun::StopIntake() {
  if (newMessages_) newMessages_->RequestStop();
  if (newCarriers_) newCarriers_->RequestStop();
  newMessages_.reset();
  newCarriers_.reset();
}

void TServerRun::Broadcast(const std::string& notice) {
  if (clients_) BroadcastToClients(*clients_, origin_, notice);
}

TWakeClient TServerRun::WakeClient() const {
  return [clients = clients_](const std::string& guid) {
    if (clients) WakeClientConfirmations(*clients, guid);
  };
}

TSessionContext TServerRun::SessionContext() const {
  return TSessionContext{clients_, carriers_, input_, &modules_.Data};
}

} // namespace voxmit
