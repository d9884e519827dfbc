#include "dispatch/dmodScheduler.h"

#include <algorithm>

#include <chrono>
#include <exception>
#include <set>
#include <unordered_set>
#include <string>

#include <Poco/Data/Statement.h>

#include "channels/RegChannels.h"
#include "devices/Devices.h"
#include "host/LogFile.h"
#include "host/ServerSettings.h"
#include "store/Carrier.h"
#include "store/DbSession.h"
#include "store/DbTime.h"
#include "store/dmodData.h"

namespace voxmit {

using namespace Poco::Data::Keywords;

namespace {

// Seconds since 1970-01-01 of a store time text (or of the average of a column of them),
// rounded; the Julian day of 1970-01-01 00:00 is 2440587.5.
const char* const kEpochSeconds = "CAST(round((%s - 2440587.5) * 86400.0) AS INTEGER)";

std::string EpochSecondsOf(const std::string& julianDay) {
  std::string text = kEpochSeconds;
  text.replace(text.find("%s"), 2, julianDay);
  return text;
}

} // namespace

std::optional<int32_t> GetChannelInputLimit(int32_t carrierType) {
  auto cls = FindChannelClass(carrierType);
  if (!cls) return std::nullopt;
  return std::max(cls->GetBufferLimits().Input, 1);
}

// ---- Construction ---------------------------------------------------------------------------

TScheduler::TScheduler(TNDevicesList& devices, std::shared_ptr<TCarriersList> carriers,
                       std::shared_ptr<TClientsList> clients, TDMData& data, bool startThread,
                       TSchedulerCallbacks callbacks)
    : devices_(devices), carriers_(std::move(carriers)), clients_(std::move(clients)),
      data_(data), callbacks_(std::move(callbacks)),
      iterators_(std::make_unique<TIteratorsList>(carriers_, clients_, data_, callbacks_.Channels)) {
  devices_.LoadDevices(data_.ThreadSession());
  if (startThread) thread_ = std::make_unique<TSchedulerThread>(*this, data_);
}

TScheduler::~TScheduler() {
  // The thread ends before the iterators it uses go. Every iterator then closes its channels
  // first, so they all wind down at once; freeing them waits for each one's channels to end.
  thread_.reset();
  iterators_->StopAll();
  iterators_.reset();
}

// ---- Scheduler thread -----------------------------------------------------------------------

TSchedulerThread::TSchedulerThread(TScheduler& scheduler, TDMData& data)
    : scheduler_(scheduler), data_(data) {
  thread_.Start([this] { Execute(); });
}

void TSchedulerThread::Execute() {
  do {
    try {
      scheduler_.RunSchedulingPass();
    } catch (const std::exception& e) {
      LogMessage(std::string("Scheduler: the scheduling pass failed: ") + e.what());
    }
  } while (WaitForNextPass());
  data_.ReleaseThreadSession();
}

bool TSchedulerThread::WaitForNextPass() {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (thread_.StopRequested()) return false;
    // At least one wait slice between passes: a period of 0 or less would spin.
    const int32_t period = std::max(settings::SchedulerRequeryPeriod.load(),
                                    settings::ThreadWaitLoopTimeout.load());
    if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(period))
      return true;
    thread_.StopEvent().Wait(settings::ThreadWaitLoopTimeout);
  }
}

void TScheduler::RunSchedulingPass() {
  std::vector<TCarrierStatistics> statistics = CollectStatistics();
  const std::string summary = SchedulerSummaryLine(statistics, settings::LogZeroCarrier);
  if (!summary.empty()) LogMessage(summary);
  if (!statistics.empty()) {
    const TAllocation allocation = AllocateChannels(std::move(statistics));
    RejectCarrierTypes(allocation);
    ApplyPlan(allocation.Plan);
  }
  ++passes_;
}

// ---- Statistics -----------------------------------------------------------------------------

std::vector<TCarrierStatistics> TScheduler::CollectStatistics() {
  int64_t nowSeconds = 0;
  std::vector<TCarrierStatisticsRow> rows = RejectUnknownCarriers(ReadStatisticsRows(nowSeconds));
  return BuildStatistics(rows, nowSeconds, [this](int32_t carrierType) {
    TCarrierTypeInfo info;
    if (auto kind = DeviceKindOfCarrierType(carrierType)) info.DeviceKind = *kind;
    info.DeviceCount = devices_.CountDevicesForCarrierType(carrierType);
    if (const auto limit = GetChannelInputLimit(carrierType)) {
      info.HasChannelClass = true;
      info.InputLimit = *limit;
    }
    return info;
  });
}

std::vector<TCarrierStatisticsRow> TScheduler::ReadStatisticsRows(int64_t& nowSeconds) {
  Poco::Data::Session& session = data_.ThreadSession();
  session << "SELECT " + EpochSecondsOf("julianday(?)"), bind(DbNow()), into(nowSeconds), now;
  std::vector<int32_t> carrierIDs, carrierTypes, counts;
  std::vector<int64_t> averages;
  session << "SELECT CarrierID, CarrierType, count(*), COALESCE(" +
                 EpochSecondsOf("avg(julianday(TimeReceived))") +
                 ", ?) FROM Messages GROUP BY CarrierID, CarrierType",
      bind(nowSeconds), into(carrierIDs), into(carrierTypes), into(counts), into(averages), now;
  std::vector<TCarrierStatisticsRow> rows;
  for (size_t i = 0; i < carrierIDs.size(); ++i)
    rows.push_back({carrierIDs[i], carrierTypes[i], counts[i], averages[i]});
  return rows;
}

std::vector<TCarrierStatisticsRow> TScheduler::RejectUnknownCarriers(
    std::vector<TCarrierStatisticsRow> rows) {
  // Every carrier a session introduces is in the list before its first message is stored, so
  // a message whose carrier is missing (its row was lost or cleared before this start) can
  // never be sent: it is finished now so that its client learns it.
  std::set<int32_t> unknown;
  {
    // One look at the list, not one search of it per row: with thousands of carriers the
    // searches took most of a pass.
    std::unordered_set<int32_t> known;
    TNReadLock lock(carriers_->Lock());
    known.reserve(static_cast<size_t>(carriers_->Count()));
    for (int32_t i = 0; i < carriers_->Count(); ++i)
      if (auto carrier = carriers_->Items(i)) known.insert(carrier->CarrierID);
    for (const auto& row : rows)
      if (!known.contains(row.CarrierID)) unknown.insert(row.CarrierID);
  }
  for (int32_t carrierID : unknown) {
    try {
      data_.FinishMessages(
          {"CarrierID = ?", {carrierID}}, MSE_ABANDONED,
          [carrierID](const std::string& text) {
            return "Scheduler: Message Send Error! Non-Existent CarrierID: " +
                   std::to_string(carrierID) + "; Message: \"" + text + "\"";
          },
          callbacks_.WakeClient);
    } catch (const std::exception& e) {
      LogMessage("Scheduler: finishing the messages of carrier " + std::to_string(carrierID) +
                 " failed: " + e.what());
    }
  }
  std::erase_if(rows, [&](const auto& row) { return unknown.count(row.CarrierID) > 0; });
  return rows;
}

void TScheduler::RejectCarrierTypes(const TAllocation& allocation) {
  for (int32_t carrierType : allocation.NoChannelClassCarrierTypes)
    LogMessage("Scheduler: No Channel Class registered for the CarrierType: \"" +
               std::to_string(carrierType) + "\"");
  for (const auto* list :
       {&allocation.NoDeviceCarrierTypes, &allocation.NoChannelClassCarrierTypes})
    for (int32_t carrierType : *list)
      data_.RejectMessagesOfCarrierType(carrierType, callbacks_.WakeClient);
}

// ---- Plan -----------------------------------------------------------------------------------

void TScheduler::ApplyPlan(const std::vector<TCarrierStatistics>& plan) {
  std::set<int32_t> planned;
  for (const auto& item : plan) planned.insert(item.CarrierID);
  for (int32_t i = 0; i < iterators_->Count(); ++i)
    if (!planned.count(iterators_->Items(i).CarrierID())) iterators_->Items(i).StopServing();

  iterators_->ClearAssigned();
  devices_.ClearTaken();
  std::vector<uint8_t> poolKinds;
  for (int32_t d = 0; d < devices_.Count(); ++d) poolKinds.push_back(devices_.Items(d)->DeviceKind);

  std::vector<TIterator*> iterators;
  std::vector<std::vector<int32_t>> held;
  for (const auto& item : plan) {
    TIterator& iterator = iterators_->FindIterator(item.CarrierID);
    iterator.Assigned = true;
    iterators.push_back(&iterator);
    std::vector<int32_t> indices;
    for (const auto& device : iterator.CollectDevicesInUse())
      for (int32_t d = 0; d < devices_.Count(); ++d)
        if (devices_.Items(d) == device) indices.push_back(d);
    held.push_back(std::move(indices));
  }

  const auto assigned = AssignDevices(poolKinds, plan, held);
  for (size_t i = 0; i < plan.size(); ++i) {
    TDeviceList devices;
    for (int32_t d : assigned[i]) {
      devices_.Items(d)->Taken = true;
      devices.push_back(devices_.Items(d));
    }
    iterators[i]->ReSchedule(plan[i].CarrierID, std::move(devices));
  }
}

// ---- The server's scheduler -----------------------------------------------------------------

std::unique_ptr<TScheduler> CreateScheduler(TNDevicesList& devices,
                                            std::shared_ptr<TCarriersList> carriers,
                                            std::shared_ptr<TClientsList> clients,
                                            TDMData& data, TSchedulerCallbacks callbacks) {
  return std::make_unique<TScheduler>(devices, std::move(carriers), std::move(clients), data,
                                      true, std::move(callbacks));
}

} // namespace voxmit
