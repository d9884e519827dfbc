#pragma once
// What the SMTP and SNPP channel tests share: channels run by their real worker on an IP
// network device, built by the test so it can shorten their network time-out, short waits,
// the captured log, a temporary folder for the peers' records, and results collected as the
// iterator collects them.
//
// Threads: the fixture runs on the test thread; workers and peers on their own. Every test
// ends with every channel thread gone.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "channels/LogCapture.h"
#include "devices/Devices.h"
#include "host/ServerSettings.h"
#include "platform/ThreadRegistry.h"
#include "support/ChannelResults.h"
#include "support/TempHome.h"
#include "support/WaitUntil.h"

namespace voxmit::test {

using namespace std::chrono_literals;
using TPart = std::shared_ptr<TNBaseChannelMessage>;

class NetCarrierFixture : public ::testing::Test {
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
    EXPECT_TRUE(CloseAndDrain(channels_)) << "a channel thread did not end";
    channels_.clear();
    settings::ThreadWaitLoopTimeout = savedWait_;
    settings::MessageRetries = savedRetries_;
    settings::AddDateToMsg = savedDate_;
  }

  static std::shared_ptr<TNDevice> NetDevice(const std::string& settings = "127.0.0.1,9,0") {
    return std::make_shared<TNDevice>(TNDeviceRow{.ID = 1,
                                                  .TypeName = "IP network",
                                                  .SettingsData = settings,
                                                  .DeviceKind = DK_IP_NETWORK,
                                                  .Name = "Net1"});
  }

  // A channel of class T with its worker started; timeoutMs is its network time-out.
  template <class T>
  std::shared_ptr<T> Launch(const std::string& className, TCarrierType type,
                            const std::string& carrierSettings, int32_t timeoutMs = 5000,
                            std::shared_ptr<TNDevice> device = NetDevice()) {
    TNChannelArgs args;
    args.ClassName = className;
    args.ChannelsList = list_;
    args.CarrierType = type;
    args.CarrierID = 1;
    args.CarrierSettings = carrierSettings;
    args.Device = std::move(device);
    auto channel = std::make_shared<T>(args);
    channel->SetNetTimeoutMs(timeoutMs);
    channel->Launch(T::GetBufferLimits());
    channels_.push_back(channel);
    return channel;
  }

  // Collects finished parts until count came back; fewer when the deadline passed.
  std::vector<TPart> Collect(TNBaseCarrierChannel& channel, size_t count,
                             std::chrono::milliseconds deadline = 30s) {
    return CollectResults(channel, count, deadline);
  }

  // Sends one message and returns its result (MSE_OK and the rest), or -1 when none came.
  int SendOne(TNBaseCarrierChannel& channel, const std::string& pagerID, const std::string& text,
              std::chrono::milliseconds deadline = 30s) {
    channel.EnqueueMessage(41, pagerID, text, 0);
    const auto parts = Collect(channel, 1, deadline);
    if (parts.size() != 1) return -1;
    EXPECT_TRUE(parts[0]->Taken);
    // The result comes back before the worker logs off (one message per connection): wait for
    // that too, so that the peer has seen the whole dialogue when the test looks at it.
    EXPECT_TRUE(WaitUntil([&] { return !channel.Connected(); }, deadline));
    return parts[0]->SendError;
  }

  // Closes channel and reports whether its worker ended within deadline.
  bool CloseAndWaitEnd(TNBaseCarrierChannel& channel, std::vector<TPart>& returned,
                       std::chrono::milliseconds deadline) {
    channel.Close();
    return WaitUntil(
        [&] {
          while (auto part = channel.DequeueResult()) returned.push_back(part);
          return TNThreadRegistry::Instance().Running() == 0;
        },
        deadline);
  }

  TempHome folder_{false};
  LogCapture log_;
  std::shared_ptr<TNChannelsList> list_ = std::make_shared<TNChannelsList>();

private:
  int32_t savedWait_ = 0;
  int32_t savedRetries_ = 0;
  bool savedDate_ = false;
  std::vector<std::shared_ptr<TNBaseCarrierChannel>> channels_;
};

} // namespace voxmit::test
