#include "dispatch/SchedulerPlan.h"

#include <algorithm>
#include <cstddef>

namespace voxmit {

namespace {

using TStatistics = std::vector<TCarrierStatistics>;

void SortHeaviestFirst(TStatistics& list) {
  std::stable_sort(list.begin(), list.end(),
                   [](const TCarrierStatistics& a, const TCarrierStatistics& b) {
                     return a.Weight > b.Weight;
                   });
}

// Channels that would hold all of the carrier's messages at once.
int64_t ChannelsNeeded(const TCarrierStatistics& item) {
  const int64_t limit = std::max<int32_t>(item.InputLimit, 1);
  return (static_cast<int64_t>(item.MessageCount) + limit - 1) / limit;
}

void AddOnce(std::vector<int32_t>& list, int32_t value) {
  if (std::find(list.begin(), list.end(), value) == list.end()) list.push_back(value);
}

// Removes the carriers of a kind that no channel class serves.
void TakeOutUnservable(TStatistics& statistics, std::vector<int32_t>& carrierTypes) {
  std::erase_if(statistics, [&](const TCarrierStatistics& item) {
    if (item.DeviceKind == 0 || item.InputLimit >= 0) return false;
    AddOnce(carrierTypes, item.CarrierType);
    return true;
  });
}

// Moves every item of the first item's device kind out of statistics, heaviest first.
TStatistics TakeGroup(TStatistics& statistics) {
  const uint8_t kind = statistics.front().DeviceKind;
  TStatistics group;
  for (size_t i = statistics.size(); i-- > 0;) {
    if (statistics[i].DeviceKind != kind) continue;
    group.push_back(statistics[i]);
    statistics.erase(statistics.begin() + static_cast<std::ptrdiff_t>(i));
  }
  SortHeaviestFirst(group);
  return group;
}

// The lightest item's share of the free devices among the items left (it included).
int64_t ShareOf(const TStatistics& group, int64_t free) {
  if (group.size() == 1) return free;
  __int128 sum = 0;
  for (const TCarrierStatistics& item : group) sum += item.Weight;
  // All weights zero (every message arrived within the second): share evenly rather than
  // divide by zero.
  if (sum == 0) return free / static_cast<int64_t>(group.size());
  return static_cast<int64_t>(static_cast<__int128>(group.back().Weight) * free / sum);
}

// Several carriers compete for the group's devices.
void ShareGroup(TStatistics& group, int64_t free, TStatistics& plan) {
  for (size_t i = group.size(); i-- > 0;) {
    if (group[i].InputLimit < group[i].MessageCount) continue;
    group[i].ChannelCount = 1;
    --free;
    plan.push_back(group[i]);
    group.erase(group.begin() + static_cast<std::ptrdiff_t>(i));
  }
  while (!group.empty()) {
    const int64_t share = ShareOf(group, free);
    TCarrierStatistics item = group.back();
    group.pop_back();
    if (share < 1) continue;
    item.ChannelCount = static_cast<int32_t>(std::min(ChannelsNeeded(item), share));
    free -= item.ChannelCount;
    plan.push_back(item);
  }
}

void AllocateGroup(TStatistics group, TAllocation& result) {
  const int64_t free = group.front().DeviceCount;
  if (free <= 0) {
    AddOnce(result.NoDeviceCarrierTypes, group.front().CarrierType);
    return;
  }
  if (static_cast<int64_t>(group.size()) > free) group.resize(static_cast<size_t>(free));
  if (group.size() > 1) {
    ShareGroup(group, free, result.Plan);
    return;
  }
  TCarrierStatistics item = group.front();
  item.ChannelCount = static_cast<int32_t>(std::min<int64_t>(ChannelsNeeded(item), free));
  result.Plan.push_back(item);
}

} // namespace

TStatistics BuildStatistics(const std::vector<TCarrierStatisticsRow>& rows, int64_t nowSeconds,
                            const TCarrierTypeLookup& lookup) {
  TStatistics statistics;
  statistics.reserve(rows.size());
  for (const TCarrierStatisticsRow& row : rows) {
    const TCarrierTypeInfo info = lookup(row.CarrierType);
    TCarrierStatistics item;
    item.CarrierID = row.CarrierID;
    item.CarrierType = row.CarrierType;
    item.MessageCount = row.Count;
    item.AverageAge = std::max<int64_t>(nowSeconds - row.AverageTime, 0);
    item.DeviceKind = info.DeviceKind;
    item.DeviceCount = info.DeviceKind == 0 ? 0 : info.DeviceCount;
    item.InputLimit = info.InputLimit;
    item.Weight = static_cast<int64_t>(item.MessageCount) * item.AverageAge;
    statistics.push_back(item);
  }
  SortHeaviestFirst(statistics);
  return statistics;
}

std::string SchedulerSummaryLine(const TStatistics& statistics, bool logZeroCarrier) {
  std::string line;
  if (logZeroCarrier) line = "Scheduler: TotalCarriers: " + std::to_string(statistics.size());
  // "Messages:" without a blank and " )" with one are the original's layout.
  for (const TCarrierStatistics& item : statistics)
    line += " (CarrierID: " + std::to_string(item.CarrierID) +
            ", Messages:" + std::to_string(item.MessageCount) + " )";
  return line;
}

TAllocation AllocateChannels(TStatistics statistics) {
  TAllocation result;
  TakeOutUnservable(statistics, result.NoChannelClassCarrierTypes);
  while (!statistics.empty()) AllocateGroup(TakeGroup(statistics), result);
  return result;
}

std::vector<std::vector<int32_t>> AssignDevices(const std::vector<uint8_t>& poolKinds,
                                                const TStatistics& plan,
                                                const std::vector<std::vector<int32_t>>& held) {
  std::vector<bool> taken(poolKinds.size(), false);
  std::vector<std::vector<int32_t>> devices(plan.size());
  for (size_t i = 0; i < plan.size(); ++i) {
    if (i >= held.size()) break;
    for (int32_t index : held[i]) {
      if (static_cast<int32_t>(devices[i].size()) >= plan[i].ChannelCount) break;
      if (index < 0 || static_cast<size_t>(index) >= taken.size() || taken[index]) continue;
      taken[index] = true;
      devices[i].push_back(index);
    }
  }
  for (size_t i = 0; i < plan.size(); ++i) {
    for (size_t d = 0; d < poolKinds.size(); ++d) {
      if (static_cast<int32_t>(devices[i].size()) >= plan[i].ChannelCount) break;
      if (taken[d] || poolKinds[d] != plan[i].DeviceKind) continue;
      taken[d] = true;
      devices[i].push_back(static_cast<int32_t>(d));
    }
  }
  return devices;
}

} // namespace voxmit
