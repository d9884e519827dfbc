#pragma once
// What the WCTP and MSG channel tests share: a fake HTTP gateway on 127.0.0.1, an IP network
// device, a temporary home folder (for the diagnostic copy), the captured log, and channels
// run by their real worker or driven by the test.
//
// Threads: the fixture runs on the test thread, the fake gateway on its own, the workers on
// theirs. Every test ends with every channel thread gone.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "carriers/ChannelMSG.h"
#include "carriers/ChannelWCTP.h"
#include "channels/LogCapture.h"
#include "channels/RegChannels.h"
#include "devices/Devices.h"
#include "host/ServerSettings.h"
#include "platform/ThreadRegistry.h"
#include "support/ChannelResults.h"
#include "support/FakeHttpServer.h"
#include "support/TempHome.h"
#include "support/WaitUntil.h"

namespace voxmit::test {

using namespace std::chrono_literals;
using TPart = std::shared_ptr<TNBaseChannelMessage>;
using TAct = FakeHttpServer::TAct;

// A network time-out short enough for a test to wait it out.
inline constexpr int32_t kShortTimeoutMs = 500;

// A carrier whose exchanges time out after timeoutMs.
template <class T, int32_t timeoutMs>
class TTimed : public T {
public:
  explicit TTimed(const TNChannelArgs& args) : T(args) { this->NetTimeout = timeoutMs; }
};

// A carrier with its worker-side operations opened to a test that drives them itself.
template <class T>
class TDrivenGateway : public T {
public:
  using T::T;
  using T::Connect;
  using T::Disconnect;
  using T::Host;
  using T::NetTimeout;
  using T::ParseCarrierSettings;
  using T::ParseDeviceSettings;
  using T::Path;
  using T::Port;
  using T::SendMessage;
  int32_t MaxLength() const { return this->MaxMessageLength; }
};

class HttpGatewayFixture : public ::testing::Test {
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
    driven_.reset();
    EXPECT_TRUE(CloseAndDrain(channels_)) << "a channel thread did not end";
    channels_.clear();
    server_.Stop();
    settings::ThreadWaitLoopTimeout = savedWait_;
    settings::MessageRetries = savedRetries_;
    settings::AddDateToMsg = savedDate_;
  }

  // An IP network device; its host and port are those of the fake gateway unless given.
  std::shared_ptr<TNDevice> Device(const std::string& settings = "") {
    return std::make_shared<TNDevice>(TNDeviceRow{
        .ID = 9,
        .TypeName = "IP network",
        .SettingsData = settings.empty() ? "127.0.0.1," + Port() + ",2" : settings,
        .DeviceKind = DK_IP_NETWORK,
        .Name = "Net1"});
  }
  std::string Port() const { return std::to_string(server_.Port()); }
  // A gateway URL on the fake gateway.
  std::string Url(const std::string& path) const { return "http://127.0.0.1" + path; }

  // A channel of class T run by its real worker.
  template <class T>
  std::shared_ptr<TNBaseCarrierChannel> Launch(const std::string& className, TCarrierType type,
                                               const std::string& carrierSettings,
                                               std::shared_ptr<TNDevice> device = nullptr) {
    auto channel = MakeChannelClass<T>(className)->Create(list_, type, 1, carrierSettings,
                                                          device ? device : Device());
    EXPECT_NE(channel, nullptr);
    if (channel) channels_.push_back(channel);
    return channel;
  }

  // A channel the test drives itself, settings parsed; no worker.
  template <class T>
  TDrivenGateway<T>& Drive(const std::string& className, const std::string& carrierSettings,
                           std::shared_ptr<TNDevice> device = nullptr) {
    TNChannelArgs args;
    args.ClassName = className;
    args.CarrierID = 1;
    args.CarrierSettings = carrierSettings;
    args.Device = device ? device : Device();
    auto channel = std::make_shared<TDrivenGateway<T>>(args);
    channel->ParseDeviceSettings();
    channel->ParseCarrierSettings();
    TDrivenGateway<T>& ref = *channel;
    driven_ = std::move(channel);
    return ref;
  }

  // Collects finished parts until count came back; fewer when the deadline passed.
  std::vector<TPart> Collect(TNBaseCarrierChannel& channel, size_t count,
                             std::chrono::milliseconds deadline = 30s) {
    return CollectResults(channel, count, deadline);
  }

  // Closes the channel and waits for its worker to end, collecting as an iterator would; the
  // time it took, or nothing when it did not end within deadline.
  std::optional<std::chrono::milliseconds> CloseAndTime(TNBaseCarrierChannel& channel,
                                                        std::vector<TPart>& parts,
                                                        std::chrono::milliseconds deadline) {
    const auto start = std::chrono::steady_clock::now();
    channel.Close();
    const bool ended = WaitUntil(
        [&] {
          while (auto part = channel.DequeueResult()) parts.push_back(part);
          return TNThreadRegistry::Instance().Running() == 0;
        },
        deadline);
    if (!ended) return std::nullopt;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
  }

  TempHome home_;
  LogCapture log_;
  FakeHttpServer server_;
  std::shared_ptr<TNChannelsList> list_ = std::make_shared<TNChannelsList>();

private:
  std::vector<std::shared_ptr<TNBaseCarrierChannel>> channels_;
  std::shared_ptr<TNBaseCarrierChannel> driven_;
  int32_t savedWait_ = 0;
  int32_t savedRetries_ = 0;
  bool savedDate_ = false;
};

} // namespace voxmit::test
