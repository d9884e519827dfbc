#pragma once
// The scheduler's decisions as pure functions: the statistics of one pass, the summary log
// line, how many channels each carrier gets (by device kind, then by weight), and which pool
// devices back those channels. Nothing here touches the database, the pool or an iterator, so
// every rule can be checked on plain data. Callable from any thread.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace voxmit {

// One row of the statistics query: the pending messages of one carrier.
struct TCarrierStatisticsRow {
  int32_t CarrierID = 0;
  int32_t CarrierType = 0;
  int32_t Count = 0;
  int64_t AverageTime = 0;  // seconds since 1970-01-01 (local wall clock), rounded
};

// What the pool and the channel registry say about one carrier type.
struct TCarrierTypeInfo {
  uint8_t DeviceKind = 0;   // 0: the carrier type has no device kind
  int32_t DeviceCount = 0;  // devices of that kind in the pool
  bool HasChannelClass = false;  // a channel class is registered for the carrier type
  int32_t InputLimit = 1;        // that class's input limit, at least 1
};

struct TCarrierStatistics {
  int32_t CarrierID = 0;
  int32_t MessageCount = 0;
  int64_t AverageAge = 0;  // seconds, never negative
  int32_t CarrierType = 0;
  int32_t DeviceCount = 0;
  uint8_t DeviceKind = 0;
  int64_t Weight = 0;  // MessageCount x AverageAge
  int32_t ChannelCount = 0;
  bool HasChannelClass = false;
  int32_t InputLimit = 1;
};

using TCarrierTypeLookup = std::function<TCarrierTypeInfo(int32_t carrierType)>;

// The statistics of a pass started at nowSeconds, heaviest first. An average time in the
// future (the wall clock was set back) counts as age 0, so no weight is ever negative.
std::vector<TCarrierStatistics> BuildStatistics(const std::vector<TCarrierStatisticsRow>& rows,
                                                int64_t nowSeconds,
                                                const TCarrierTypeLookup& lookup);

// "Scheduler: TotalCarriers: n" (only with logZeroCarrier) followed by
// " (CarrierID: %d, Messages:%d )" per item; empty when there is nothing to say.
std::string SchedulerSummaryLine(const std::vector<TCarrierStatistics>& statistics,
                                 bool logZeroCarrier);

struct TAllocation {
  // Carriers that get channels, per device kind, lightest first within each step.
  std::vector<TCarrierStatistics> Plan;
  // Carrier types whose messages are to be rejected: the first of a group without devices,
  // in the order found.
  std::vector<int32_t> NoDeviceCarrierTypes;
  // Carrier types that have a device kind but no channel class: nothing could ever send
  // their messages, so they are rejected as well rather than left waiting for ever.
  std::vector<int32_t> NoChannelClassCarrierTypes;
};

// Shares the devices out among the carriers of statistics (heaviest first, as BuildStatistics
// returns them).
TAllocation AllocateChannels(std::vector<TCarrierStatistics> statistics);

// Which pool devices back the planned channels. poolKinds holds the device kind of every pool
// device in pool order; held[i] the pool indices of the devices that plan[i]'s iterator already
// uses (its open channels). Returns pool indices per plan item: the held devices it keeps (up
// to ChannelCount) and then the first untaken devices of its kind.
//
// The devices every planned iterator keeps are all marked taken before any free device is
// handed out, so a carrier early in the plan never takes a device that a later carrier's open
// channel still uses (a new channel would wait for it while the old one lives, and the next
// pass would plan yet another channel for the same device).
std::vector<std::vector<int32_t>> AssignDevices(const std::vector<uint8_t>& poolKinds,
                                                const std::vector<TCarrierStatistics>& plan,
                                                const std::vector<std::vector<int32_t>>& held);

} // namespace voxmit
