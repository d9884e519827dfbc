#pragma once
// TDmMaintenance: the start-up clean-up and the maintenance thread that keeps the message
// tables from growing without bound.
//
// A message left unfinished (marked Sending by an interrupted run, or never sent within
// MaxUnsentMessageAge) was acknowledged to its client, so it is finished as a result with
// MSE_ABANDONED rather than dropped: the client hears of it through the confirmations, woken
// at once through the wake callback its creator sets.
//
// Threads: SetWakeClient, StartupCleanup, StartMaintenance and StopMaintenance run on the UI
// thread (SetWakeClient and StartupCleanup while the thread does not run, StartupCleanup before
// any server thread exists). The maintenance thread is the only other
// user of this object; it works on its own database connection (TDMData::ThreadSession).
// stopEvent_ and passCount_ are safe from any thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

#include "platform/TNEvent.h"
#include "store/dmodData.h"

namespace voxmit {

class TDmMaintenance {
public:
  explicit TDmMaintenance(TDMData& data);
  // Stops the thread if it still runs.
  ~TDmMaintenance();
  TDmMaintenance(const TDmMaintenance&) = delete;
  TDmMaintenance& operator=(const TDmMaintenance&) = delete;

  // Wakes the clients whose messages maintenance finished. Set while the thread does not run.
  void SetWakeClient(TWakeClient wake);

  // DeleteMarkedSending, then DeleteUnusedCarriers. Throws when the database fails: the start
  // cannot go on with an unknown state.
  void StartupCleanup();
  // Finishes every message still marked Sending as abandoned. Returns how many.
  int32_t DeleteMarkedSending();
  // Deletes every carrier that no Messages, SentMessages or ArchivedMessages row refers to.
  // Returns how many.
  int32_t DeleteUnusedCarriers();

  // Clamps the period and starts the thread; its first pass runs at once.
  void StartMaintenance();
  // Asks the thread to end and waits for it. Nothing when no thread runs.
  void StopMaintenance();
  bool Running() const { return thread_ != nullptr; }

  // One pass in one transaction: abandon old unsent messages, purge the old archive, archive
  // finished results. A failure is logged and rolls the whole pass back. Called by the thread;
  // public so a pass can be run directly.
  bool MaintenancePass();
  // Passes that ended (done or failed) since construction.
  int64_t PassCount() const { return passCount_.load(); }

private:
  void ThreadBody();
  // Waits in ThreadWaitLoopTimeout slices until the effective period has passed since the end
  // of the last pass; false when asked to stop.
  bool WaitForNextPass(std::chrono::steady_clock::time_point lastPass);

  TDMData& data_;
  TWakeClient wake_;  // read by the thread, set only while it does not run
  TNEvent stopEvent_;
  std::atomic<int64_t> passCount_{0};
  std::unique_ptr<std::thread> thread_;  // UI thread only
};

// The process's maintenance module while the process runs, else nullptr (set on the UI thread).
TDmMaintenance* DmMaintenance();
void SetDmMaintenance(TDmMaintenance* maintenance);

} // namespace voxmit
