#pragma once
// A channel list, a device and a scripted carrier for worker tests. The waits are short so
// stop requests and idle passes come quickly; every test ends with all channel threads gone.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "channels/BaseChannel.h"
#include "channels/LogCapture.h"
#include "channels/RegChannels.h"
#include "devices/Devices.h"
#include "host/ServerSettings.h"
#include "platform/ThreadRegistry.h"
#include "support/ScriptedChannel.h"
#include "support/WaitUntil.h"

namespace voxmit::test {

using TPart = std::shared_ptr<TNBaseChannelMessage>;

class ChannelFixture : public ::testing::Test {
protected:
  void SetUp() override {
    savedWait_ = settings::ThreadWaitLoopTimeout;
    savedRetries_ = settings::MessageRetries;
    savedDate_ = settings::AddDateToMsg;
    settings::ThreadWaitLoopTimeout = 50;
    settings::MessageRetries = 3;
    settings::AddDateToMsg = false;
  }

  void TearDown() override {
    for (auto& channel : channels_) channel->Close();
    if (heldDevice_) device_->FreeEvent.Set();
    // A closing channel waits until its results are collected, as its iterator would.
    EXPECT_TRUE(WaitUntil(
        [&] {
          for (auto& channel : channels_)
            while (channel->DequeueResult()) {
            }
          return TNThreadRegistry::Instance().Running() == 0;
        },
        std::chrono::seconds(30)))
        << "a channel thread did not end";
    channels_.clear();
    settings::ThreadWaitLoopTimeout = savedWait_;
    settings::MessageRetries = savedRetries_;
    settings::AddDateToMsg = savedDate_;
  }

  std::shared_ptr<TNBaseCarrierChannel> Create(int32_t carrierID = 7,
                                               std::shared_ptr<TNDevice> device = nullptr) {
    auto channel = ScriptedChannelClass(script_)->Create(list_, CT_TAP, carrierID, "scripted",
                                                         device ? device : device_, callbacks_);
    EXPECT_NE(channel, nullptr);
    if (channel) channels_.push_back(channel);
    return channel;
  }

  // Holding the device keeps a new channel in its first phase, so a test can queue parts
  // before the worker looks at them.
  void HoldDevice() {
    ASSERT_TRUE(device_->FreeEvent.TryTake());
    heldDevice_ = true;
  }
  void ReleaseDevice() {
    heldDevice_ = false;
    device_->FreeEvent.Set();
  }

  bool Registered(const TNBaseCarrierChannel& channel) {
    TNReadLock lock(list_->Lock());
    for (int32_t i = 0; i < list_->Count(); ++i)
      if (list_->Items(i).get() == &channel) return true;
    return false;
  }

  // Collects results until count parts came back (or the deadline passed).
  std::vector<TPart> Collect(TNBaseCarrierChannel& channel, size_t count) {
    std::vector<TPart> parts;
    WaitUntil(
        [&] {
          while (auto part = channel.DequeueResult()) parts.push_back(part);
          return parts.size() >= count;
        },
        std::chrono::seconds(20));
    EXPECT_EQ(parts.size(), count);
    return parts;
  }

  static std::vector<std::string> Sends(const std::vector<std::string>& journal) {
    std::vector<std::string> sends;
    for (const auto& call : journal)
      if (call.rfind("Send:", 0) == 0) sends.push_back(call);
    return sends;
  }

  std::shared_ptr<TChannelScript> script_ = std::make_shared<TChannelScript>();
  std::shared_ptr<TNChannelsList> list_ = std::make_shared<TNChannelsList>();
  std::shared_ptr<TNDevice> device_ =
      std::make_shared<TNDevice>(TNDeviceRow{.ID = 1,
                                             .TypeName = "Modem",
                                             .SettingsData = "COM1,ATQ0V1,,false,3,1",
                                             .DeviceKind = DK_MODEM,
                                             .Name = "Modem 1"});
  std::vector<std::shared_ptr<TNBaseCarrierChannel>> channels_;
  TNChannelCallbacks callbacks_;

private:
  bool heldDevice_ = false;
  int32_t savedWait_ = 0;
  int32_t savedRetries_ = 0;
  bool savedDate_ = false;
};

} // namespace voxmit::test
