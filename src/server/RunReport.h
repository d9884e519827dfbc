#pragma once
// The lines a server run writes about itself: one when the start sequence has finished (what
// the run found: version, home folder, database, port, devices, carrier classes) and one when
// the stop sequence has stored everything still queued (what the run did).
//
// It also publishes the running server's containers and device pool for the status endpoint
// (TRunGauges): published when the start has finished, withdrawn when the stop begins.
// Readers use them under the slot's lock (WithRunGauges), so a stop waits for a reading in
// progress and nothing is read while the start reloads the device pool.
//
// Threads: the Log*, Publish and Withdraw functions run on the UI thread with the run;
// WithRunGauges from any thread.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "common/MessageCounters.h"
#include "server/ServerModules.h"

namespace voxmit {

class TInputMessageQueue;
class TClientsList;
class TNDevicesList;

inline constexpr const char* kServerVersion = "2.0.0";

// "VoxmitServer2 2.0.0 started: home \"/srv/voxmit\", database \"/srv/voxmit/ServerData.db\",
//  port 215, 2 devices (Modem: 1, IP network: 1), carrier classes: TChannelTap (1), ..."
std::string StartLine(const TServerModules& modules, int port);
// "VoxmitServer2 stopped: 12 messages stored, 10 sent, 2 failed during this run"
std::string StopLine(const TMessageCounters::TSnapshot& atStart,
                     const TMessageCounters::TSnapshot& atStop);

struct TRunGauges {
  std::shared_ptr<TInputMessageQueue> Input;
  std::shared_ptr<TClientsList> Clients;
  const TNDevicesList* Devices = nullptr;
  std::filesystem::path Database;
};

void PublishRunGauges(TRunGauges gauges);
void WithdrawRunGauges();
// Calls read with the published gauges (nullptr when no run is published), under the lock.
void WithRunGauges(const std::function<void(const TRunGauges*)>& read);

} // namespace voxmit
