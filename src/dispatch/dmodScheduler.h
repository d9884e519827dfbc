#pragma once
// TScheduler shares the devices out among the carriers that have messages waiting. Its thread
// runs a scheduling pass at once and then again whenever more than SchedulerRequeryPeriod ms
// have passed since the previous one: count the pending messages per carrier, reject what no
// device or channel can ever send, allocate channels by device kind and weight
// (SchedulerPlan.h) and hand each planned carrier its devices through an iterator.
//
// Threads: the constructor and destructor run on the thread that owns the scheduler (the UI
// thread in the server). Everything a pass touches (the iterators, the pool's Taken flags) is
// used by the scheduler thread alone, or by the owner while no scheduler thread runs
// (startThread false, as tests do, calling RunSchedulingPass themselves). The scheduler never
// waits for a channel. An error inside a pass is logged; the next pass comes after the
// normal wait.

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "common/BaseContainers.h"
#include "dispatch/SchedulerPlan.h"
#include "dispatch/dmodIterator.h"
#include "platform/TNEvent.h"
#include "store/dmodData.h"

namespace voxmit {

class TNDevicesList;

// The input limit of the class registered for the carrier type; -1 when there is none.
int32_t GetChannelInputLimit(int32_t carrierType);

class TScheduler;

// How the scheduler reports upward. Either may be empty.
struct TSchedulerCallbacks {
  // What the channels of every iterator report through.
  TNChannelCallbacks Channels;
  // Wakes a client whose messages the scheduler finished (a carrier type without devices or
  // channel class, a carrier missing from the list), so it hears at once. Scheduler thread.
  TWakeClient WakeClient;
};

// The scheduler's thread: a pass at once, then the next one whenever more than
// SchedulerRequeryPeriod ms have passed since the previous ended, sleeping in
// ThreadWaitLoopTimeout slices. Started by its constructor; Terminate and WaitFor (and the
// destructor, which does both) belong to the scheduler's owner.
class TSchedulerThread {
public:
  TSchedulerThread(TScheduler& scheduler, TDMData& data);
  ~TSchedulerThread();
  TSchedulerThread(const TSchedulerThread&) = delete;
  TSchedulerThread& operator=(const TSchedulerThread&) = delete;

  void Terminate() { terminated_.Set(); }
  void WaitFor();

private:
  void Execute();
  bool WaitForNextPass();

  TScheduler& scheduler_;
  TDMData& data_;
  TNEvent terminated_;
  std::thread thread_;
};

class TScheduler {
public:
  // Loads the device pool (throws when that fails, before any thread exists), then starts
  // the scheduler thread unless told not to.
  // The scheduler and the channels of every iterator report through callbacks.
  TScheduler(TNDevicesList& devices, std::shared_ptr<TCarriersList> carriers, TDMData& data,
             bool startThread = true, TSchedulerCallbacks callbacks = {});
  // Stops the scheduler thread and waits for it, then stops every iterator and frees them
  // (each waits until its channels have handed back their results and ended).
  ~TScheduler();
  TScheduler(const TScheduler&) = delete;
  TScheduler& operator=(const TScheduler&) = delete;

  // One pass (scheduler thread, or the owner when the thread was not started).
  void RunSchedulingPass();
  // Passes completed so far; any thread.
  int64_t PassCount() const { return passes_; }
  // Scheduler thread (or owner without thread) only.
  TIteratorsList& Iterators() { return *iterators_; }

private:
  std::vector<TCarrierStatistics> CollectStatistics();
  std::vector<TCarrierStatisticsRow> ReadStatisticsRows(int64_t& nowSeconds);
  // Finishes the messages of carriers missing from the carriers list; returns the others.
  std::vector<TCarrierStatisticsRow> RejectUnknownCarriers(std::vector<TCarrierStatisticsRow> rows);
  void RejectCarrierTypes(const TAllocation& allocation);
  void ApplyPlan(const std::vector<TCarrierStatistics>& plan);

  TNDevicesList& devices_;
  std::shared_ptr<TCarriersList> carriers_;
  TDMData& data_;
  const TSchedulerCallbacks callbacks_;
  std::unique_ptr<TIteratorsList> iterators_;
  std::atomic<int64_t> passes_{0};
  std::unique_ptr<TSchedulerThread> thread_;
};

// The server's scheduler: StartServer creates it once the listener is open (it loads the
// device pool and starts the first pass); StopServer frees it. UI thread only. CreateScheduler
// throws when the device pool cannot be loaded; then no scheduler exists. The scheduler and
// its channels report through callbacks.
void CreateScheduler(TSchedulerCallbacks callbacks);
void FreeScheduler();
// The running scheduler, or nullptr.
TScheduler* Scheduler();

} // namespace voxmit
