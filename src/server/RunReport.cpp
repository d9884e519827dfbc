#include "server/RunReport.h"

#include <map>
#include <mutex>
#include <optional>

#include <Poco/Format.h>

#include "channels/RegChannels.h"
#include "devices/Devices.h"
#include "platform/HomeFolder.h"
#include "store/dmodData.h"

namespace voxmit {

namespace {

std::mutex gaugesMutex;
std::optional<TRunGauges> gauges;

// Carrier types are numbered from 1; the registry holds at most a few of them.
constexpr int32_t kLastCarrierType = 32;

std::string DeviceSummary(const TNDevicesList& devices) {
  std::map<std::string, int> perKind;
  for (int32_t i = 0; i < devices.Count(); ++i) ++perKind[devices.Items(i)->TypeName];
  std::string text = Poco::format("%d device%s", devices.Count(),
                                  std::string(devices.Count() == 1 ? "" : "s"));
  if (perKind.empty()) return text;
  text += " (";
  bool first = true;
  for (const auto& [kind, count] : perKind) {
    if (!first) text += ", ";
    first = false;
    text += Poco::format("%s: %d", kind, count);
  }
  return text + ")";
}

std::string CarrierClassSummary() {
  std::string text;
  for (int32_t type = 1; type <= kLastCarrierType; ++type) {
    const auto cls = FindChannelClass(type);
    if (!cls) continue;
    if (!text.empty()) text += ", ";
    text += Poco::format("%s (%d)", cls->ClassName(), type);
  }
  return text.empty() ? "none" : text;
}

} // namespace

std::string StartLine(const TServerModules& modules, int port) {
  return Poco::format("VoxmitServer2 %s started: home \"%s\", database \"%s\", port %d, %s, "
                      "carrier classes: %s",
                      std::string(kServerVersion), HomeFolder().string(),
                      modules.Data.File().string(), port, DeviceSummary(modules.Devices),
                      CarrierClassSummary());
}

std::string StopLine(const TMessageCounters::TSnapshot& atStart,
                     const TMessageCounters::TSnapshot& atStop) {
  return "VoxmitServer2 stopped: " + std::to_string(atStop.Stored - atStart.Stored) +
         " messages stored, " + std::to_string(atStop.Sent() - atStart.Sent()) + " sent, " +
         std::to_string(atStop.Failed() - atStart.Failed()) + " failed during this run";
}

void PublishRunGauges(TRunGauges published) {
  std::lock_guard lock(gaugesMutex);
  gauges = std::move(published);
}

void WithdrawRunGauges() {
  std::lock_guard lock(gaugesMutex);
  gauges.reset();
}

void WithRunGauges(const std::function<void(const TRunGauges*)>& read) {
  std::lock_guard lock(gaugesMutex);
  read(gauges ? &*gauges : nullptr);
}

} // namespace voxmit
