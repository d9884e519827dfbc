#pragma once
// A carrier channel for the dispatch tests: no I/O, every decision taken from one process-wide
// script that the test sets (unlike tests/support/ScriptedChannel, whose script is per
// registration and journals every call, this one decides per carrier and records what each
// device sent and how full its queue was) (what Connect and SendMessage answer, how long a send takes, the
// input limit), and a record of what each channel sent. Registered for the carrier types a
// test names and unregistered again by TTestChannelRegistration.

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "channels/BaseChannel.h"
#include "channels/RegChannels.h"
#include "devices/Devices.h"

namespace voxmit::test {

struct TSentPart {
  int32_t ID = 0;
  std::string Device;
  int32_t CarrierID = 0;
  std::string Text;
};

// Carrier settings that the test channel cannot parse: it then has no usable message length.
inline const char* const kUnparsableSettings = "unparsable";

class TDispatchScript {
public:
  using TSend = std::function<TChannelSendResult(const TNBaseChannelMessage&, int32_t carrierID)>;
  using TConnect = std::function<TChannelConnectResult(int32_t carrierID)>;

  void Reset() {
    std::lock_guard lock(mutex_);
    send_ = [](const TNBaseChannelMessage&, int32_t) { return srSent; };
    connect_ = [](int32_t) { return crConnected; };
    sent_.clear();
    maxQueued_.clear();
    InputLimit = 27;
  }
  void SetSend(TSend send) {
    std::lock_guard lock(mutex_);
    send_ = std::move(send);
  }
  void SetConnect(TConnect connect) {
    std::lock_guard lock(mutex_);
    connect_ = std::move(connect);
  }
  std::vector<TSentPart> Sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }
  // The most parts any channel on the device held in FiFoIn while it sent.
  int32_t MaxQueued(const std::string& device) const {
    std::lock_guard lock(mutex_);
    auto found = maxQueued_.find(device);
    return found == maxQueued_.end() ? 0 : found->second;
  }

  TChannelSendResult Send(const TNBaseChannelMessage& part, int32_t carrierID,
                          const std::string& device, int32_t queued) {
    TSend send;
    {
      std::lock_guard lock(mutex_);
      send = send_;
      maxQueued_[device] = std::max(maxQueued_[device], queued);
    }
    const TChannelSendResult result = send(part, carrierID);
    if (result == srSent) {
      std::lock_guard lock(mutex_);
      sent_.push_back({part.ID, device, carrierID, part.MessageText});
    }
    return result;
  }
  TChannelConnectResult Connect(int32_t carrierID) {
    TConnect connect;
    {
      std::lock_guard lock(mutex_);
      connect = connect_;
    }
    return connect(carrierID);
  }

  std::atomic<int32_t> InputLimit{27};

private:
  mutable std::mutex mutex_;  // guards every field below
  TSend send_ = [](const TNBaseChannelMessage&, int32_t) { return srSent; };
  TConnect connect_ = [](int32_t) { return crConnected; };
  std::vector<TSentPart> sent_;
  std::map<std::string, int32_t> maxQueued_;
};

inline TDispatchScript& DispatchScript() {
  static TDispatchScript script;
  return script;
}

class TTestChannel : public TNBaseCarrierChannel {
public:
  explicit TTestChannel(const TNChannelArgs& args) : TNBaseCarrierChannel(args) {
    MaxMessagesPerConnection = 5;
  }
  static TBufferLimits GetBufferLimits() { return {DispatchScript().InputLimit, 1000}; }

protected:
  bool InitDevice() override { return true; }
  TChannelConnectResult Connect() override { return DispatchScript().Connect(CarrierID()); }
  bool Disconnect() override { return true; }
  TChannelSendResult SendMessage(TNBaseChannelMessage& part) override {
    int32_t queued = 0;
    {
      TNReadLock lock(FiFoIn().Lock());
      queued = FiFoIn().Count();
    }
    return DispatchScript().Send(part, CarrierID(), Device()->Name, queued);
  }
  void BuildMessageBlock(const std::string& text, const std::string&, std::string& block) override {
    block = text;
  }
  bool ParseDeviceSettings() override { return true; }
  bool ParseCarrierSettings() override {
    if (CarrierSettings() == kUnparsableSettings)
      throw std::runtime_error("carrier settings do not parse");
    MaxMessageLength = 160;
    return true;
  }
};

// Registers the test channel for the given carrier types for one test.
class TTestChannelRegistration {
public:
  explicit TTestChannelRegistration(std::vector<TCarrierType> types) : types_(std::move(types)) {
    DispatchScript().Reset();
    for (TCarrierType type : types_) {
      CarrierChannelsList().UnregisterChannelClass(type);
      RegisterChannelClass(type, MakeChannelClass<TTestChannel>("TTestChannel"));
    }
  }
  ~TTestChannelRegistration() {
    for (TCarrierType type : types_) CarrierChannelsList().UnregisterChannelClass(type);
  }
  TTestChannelRegistration(const TTestChannelRegistration&) = delete;
  TTestChannelRegistration& operator=(const TTestChannelRegistration&) = delete;

private:
  std::vector<TCarrierType> types_;
};

} // namespace voxmit::test
