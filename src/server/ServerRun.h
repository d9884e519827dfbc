#pragma once
// One run of the server: what StartServer brings up and StopServer takes down. Constructing a
// run is the start sequence; destroying it is the stop sequence that follows the shutdown
// notice. A step that fails undoes the steps before it, in stop order, and the constructor
// throws; no run exists then.
//
// Start, in order: apply every option, compact the database (CompactDatabaseOnStart), the
// maintenance start-up clean-up, start the maintenance thread, open the log file, set the
// listener's port (PortNo), create the three containers and load the carriers, start the
// new-carrier and then the new-message thread, activate the listener, create the scheduler.
//
// Stop, in order, and why:
//  1. ask every logged-on session to disconnect (each leaves the clients list by itself);
//  2. close the listener, then every connection that never logged on (not in the clients
//     list, it would hold the stop otherwise);
//  3. free the scheduler: its channels end only when their iterators stop them, and their last
//     results still find the input queue and the clients list in place;
//  4. wait for the connection and channel threads (TNThreadRegistry): the replies a leaving
//     session could not deliver travel back through the input queue;
//  5. stop the new-message thread, which stores everything still queued, then the new-carrier
//     thread;
//  6. close the log file, stop the maintenance thread, drop the containers.
//
// A finished start writes the run's start line and publishes its containers to the status
// endpoint (RunReport.h); the stop withdraws them before step 1 and writes the stop line (the
// messages stored and finished during the run) between steps 5 and 6.
//
// Ownership: the run owns the carriers list, the clients list, the input message queue, the
// run's TCP connections, the intake threads and the scheduler. The containers are shared with
// the sessions and threads that were given them, which keeps each alive while it is held. The
// process's data modules (TServerModules) are only used: they outlive every run.
//
// Threads: construction and destruction run on the UI thread. Broadcast and SessionContext are
// safe from any thread while the run exists (what they read is fixed once the run is built).

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "channels/BaseChannel.h"
#include "clients/BaseClient.h"
#include "common/BaseContainers.h"
#include "common/MessageCounters.h"
#include "server/ServerModules.h"
#include "store/dmodData.h"

namespace voxmit {

class TNewCarrierThread;
class TNewMessageThread;
class TScheduler;
class TTcpConnections;

// The start steps that can fail, in order.
enum class TStartStep {
  ApplyOptions,
  CompactDatabase,
  StartupCleanup,
  StartMaintenance,
  OpenLog,
  LoadCarriers,
  StartIntake,
  ActivateListener,
  CreateScheduler,
};
inline constexpr std::array<TStartStep, 9> kStartSteps{
    TStartStep::ApplyOptions,     TStartStep::CompactDatabase, TStartStep::StartupCleanup,
    TStartStep::StartMaintenance, TStartStep::OpenLog,         TStartStep::LoadCarriers,
    TStartStep::StartIntake,      TStartStep::ActivateListener, TStartStep::CreateScheduler};
const char* StartStepName(TStartStep step);

// Called before each step; an exception thrown by it fails the start at that step (a test's
// way to make a step fail that has no cheap real failure).
using TStartStepHook = std::function<void(TStartStep)>;
// Called after each stop step with its name ("disconnect sessions", "close listener", "close
// connections", "free scheduler", "wait for threads", "stop intake", "close log", "stop
// maintenance", "drop containers"); an exception thrown by it counts as that step's failure.
using TStopStepHook = std::function<void(const char* step)>;

class TServerRun {
public:
  // The start sequence. On failure the error line is written to the log at once (before the
  // roll-back closes the log file), the steps done are undone and the error is rethrown.
  explicit TServerRun(const TServerModules& modules, const TStartStepHook& hook = nullptr);
  // The stop sequence, if Shutdown has not run it; never throws.
  ~TServerRun();
  TServerRun(const TServerRun&) = delete;
  TServerRun& operator=(const TServerRun&) = delete;

  // The stop sequence: every step runs even when one before it failed (each failure is
  // logged); true when none failed. The run is then empty and its destruction does nothing.
  bool Shutdown(const TStopStepHook& hook = nullptr);

  // Appends the notice to every logged-on session's replies.
  void Broadcast(const std::string& notice);
  // What a new session of this run works with.
  TSessionContext SessionContext() const;
  // Wakes the confirmations of a client of this run whose messages were finished elsewhere.
  TWakeClient WakeClient() const;
  const TNoticeOrigin& NoticeOrigin() const { return origin_; }
  // How this run's channels report: their notices go to every logged-on session. Set once the
  // listener is open.
  const TNChannelCallbacks& ChannelCallbacks() const { return channelCallbacks_; }

private:
  void Start(const TStartStepHook& hook);
  void ActivateListener();
  // Runs every stop step that applies; a failing step is logged (with context) and the next
  // one runs. Returns how many failed.
  int Stop(const char* context, const TStopStepHook& hook = nullptr);
  void StopIntake();

  const TServerModules modules_;
  std::shared_ptr<TCarriersList> carriers_;
  std::shared_ptr<TClientsList> clients_;
  std::shared_ptr<TInputMessageQueue> input_;
  std::shared_ptr<TTcpConnections> connections_;
  TNoticeOrigin origin_;
  TNChannelCallbacks channelCallbacks_;
  std::unique_ptr<TNewCarrierThread> newCarriers_;
  std::unique_ptr<TNewMessageThread> newMessages_;
  std::unique_ptr<TScheduler> scheduler_;
  bool maintenanceStarted_ = false;
  bool logOpened_ = false;
  bool listening_ = false;
  // Set once the start sequence has finished: the stop then writes the run's stop line.
  bool started_ = false;
  TMessageCounters::TSnapshot countersAtStart_;
};

} // namespace voxmit
