#pragma once
// What the serial carrier tests share: a pty standing in for the serial line with a fake
// modem and paging terminal (or a terminal alone, or a scripted peer) on its far side, a device
// naming the pty, short settings, a channel driven by the test or by its real worker, and the
// captured log.
//
// Threads: the fixture runs on the test thread; the peers on the line's thread; workers on
// their own. Every test ends with every channel thread gone.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "carriers/ChannelDirectTap.h"
#include "carriers/ChannelTap.h"
#include "channels/LogCapture.h"
#include "channels/RegChannels.h"
#include "devices/Devices.h"
#include "host/ServerSettings.h"
#include "platform/ThreadRegistry.h"
#include "support/ChannelResults.h"
#include "support/FakeModem.h"
#include "support/FakeTapTerminal.h"
#include "support/PtyPair.h"
#include "support/WaitUntil.h"

namespace voxmit::test {

using namespace std::chrono_literals;
using TPart = std::shared_ptr<TNBaseChannelMessage>;

// A carrier with its worker-side operations opened to a test that drives them itself.
template <class T>
class TDriven : public T {
public:
  using T::T;
  using T::Connect;
  using T::DialingPrefix;
  using T::Disconnect;
  using T::HangUp;
  using T::InitDevice;
  using T::InitPort;
  using T::InitString;
  using T::ParseCarrierSettings;
  using T::ParseDeviceSettings;
  using T::PortHandle;
  using T::PortName;
  using T::RedialAttempts;
  using T::RedialDelay;
  using T::ResetPort;
  using T::SendMessage;
  using T::SendModemString;
  using T::SendModemStringEx;
  using T::WaitForDialTone;
  using T::WaitForModemString;
  int32_t MaxLength() const { return this->MaxMessageLength; }
  // Dials the carrier's number, as a logon does.
  TDialStatus Dial() { return T::Dial(this->Settings().PhoneNumber); }
};

// A far end whose answers the test writes as a function of what it received; optional noise
// on every tick.
class ScriptedPeer : public FakeLinePeer {
public:
  using TReply = std::function<std::string(std::string_view received)>;
  explicit ScriptedPeer(TReply reply, std::string noise = {})
      : reply_(std::move(reply)), noise_(std::move(noise)) {}
  void OnReceive(std::string_view bytes, FakeLine& line) override {
    const std::string answer = reply_ ? reply_(bytes) : std::string();
    if (!answer.empty()) line.Send(answer);
  }
  void OnTick(FakeLine& line) override {
    if (!noise_.empty()) line.Send(noise_);
  }

private:
  TReply reply_;
  std::string noise_;
};

// Counts the blocks (STX bytes) the host sent on each call; forwards everything to the peer
// behind it.
class CallCounter : public FakeLinePeer {
public:
  explicit CallCounter(FakeLinePeer& inner) : inner_(inner) {}
  void OnConnect(FakeLine& line) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      blocks_.push_back(0);
    }
    inner_.OnConnect(line);
  }
  void OnReceive(std::string_view bytes, FakeLine& line) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (char c : bytes)
        if (c == '\x02' && !blocks_.empty()) ++blocks_.back();
    }
    inner_.OnReceive(bytes, line);
  }
  void OnTick(FakeLine& line) override { inner_.OnTick(line); }
  void OnDisconnect() override { inner_.OnDisconnect(); }
  std::vector<int> BlocksPerCall() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_;
  }

private:
  FakeLinePeer& inner_;
  mutable std::mutex mutex_;
  std::vector<int> blocks_;
};

inline constexpr const char* kPhone = "5551234";
inline constexpr const char* kPassword = "secret";

// Terminal options: the password it wants (nullopt: any) and how it refuses a logon.
inline FakeTapTerminal::Options TerminalOptions(std::optional<std::string> password,
                                                TapLogonRefusal refusal = TapLogonRefusal::Nak) {
  FakeTapTerminal::Options options;
  options.password = std::move(password);
  options.refusal = refusal;
  return options;
}

inline std::string TapSettings(const std::string& phone = kPhone,
                               const std::string& password = kPassword) {
  return phone + "," + password + ",80,9600,\"8,N,1\"";
}

class TapFixture : public ::testing::Test {
protected:
  void SetUp() override {
    saved_ = {settings::ModemResponseTimeout,   settings::DtrHangupDelay,
              settings::ModemConnectTimeout,    settings::ModemDisconnectTimeout,
              settings::LogonRetries,           settings::MessageRetries,
              settings::ThreadWaitLoopTimeout,  settings::MaxMessagesPerConnectionTAP,
              settings::AddDateToMsg ? 1 : 0};
    settings::ModemResponseTimeout = 1000;
    settings::DtrHangupDelay = 10;
    settings::ModemConnectTimeout = 5000;
    settings::ModemDisconnectTimeout = 3000;
    settings::LogonRetries = 0;
    settings::MessageRetries = 3;
    settings::ThreadWaitLoopTimeout = 50;
    settings::MaxMessagesPerConnectionTAP = 9;
    settings::AddDateToMsg = false;
  }

  void TearDown() override {
    driven_.reset();
    EXPECT_TRUE(CloseAndDrain(channels_)) << "a channel thread did not end";
    channels_.clear();
    if (line_) line_->Stop();
    settings::ModemResponseTimeout = saved_[0];
    settings::DtrHangupDelay = saved_[1];
    settings::ModemConnectTimeout = saved_[2];
    settings::ModemDisconnectTimeout = saved_[3];
    settings::LogonRetries = saved_[4];
    settings::MessageRetries = saved_[5];
    settings::ThreadWaitLoopTimeout = saved_[6];
    settings::MaxMessagesPerConnectionTAP = saved_[7];
    settings::AddDateToMsg = saved_[8] != 0;
  }

  // The modem on the line, with the terminal (or another peer) behind it.
  void StartModemLine(FakeLinePeer* behind, FakeModem::Options options = {}) {
    modem_ = std::make_unique<FakeModem>(options);
    modem_->SetPeer(behind);
    StartLine(*modem_);
  }
  // A peer straight on the line: a direct serial connection.
  void StartLine(FakeLinePeer& peer) {
    line_ = std::make_unique<PtyLine>(pty_, peer);
    line_->Start();
  }

  std::shared_ptr<TNDevice> ModemDevice(const std::string& extra = ",ATQ0V1M1E0X4,,false,1,1") {
    return std::make_shared<TNDevice>(TNDeviceRow{.ID = 1,
                                                  .TypeName = "MODEM",
                                                  .SettingsData = pty_.SlavePath() + extra,
                                                  .DeviceKind = DK_MODEM,
                                                  .Name = "Modem1"});
  }
  std::shared_ptr<TNDevice> DirectDevice() {
    return std::make_shared<TNDevice>(TNDeviceRow{.ID = 2,
                                                  .TypeName = "DirectTAP",
                                                  .SettingsData = pty_.SlavePath(),
                                                  .DeviceKind = DK_DIRECT_SERIAL,
                                                  .Name = "Direct1"});
  }

  // A channel the test drives itself, settings parsed; the port is not opened yet.
  template <class T>
  TDriven<T>& Drive(const std::string& className, std::shared_ptr<TNDevice> device,
                    const std::string& carrierSettings = TapSettings()) {
    TNChannelArgs args;
    args.ClassName = className;
    args.CarrierType = std::is_same_v<T, TChannelDirectTap> ? CT_DIRECT_TAP : CT_TAP;
    args.CarrierID = 1;
    args.CarrierSettings = carrierSettings;
    args.Device = std::move(device);
    auto channel = std::make_shared<TDriven<T>>(args);
    channel->ParseDeviceSettings();
    channel->ParseCarrierSettings();
    TDriven<T>& ref = *channel;
    driven_ = std::move(channel);
    return ref;
  }

  // A channel with its real worker, built through the registered class.
  std::shared_ptr<TNBaseCarrierChannel> Launch(TCarrierType type,
                                               std::shared_ptr<TNDevice> device,
                                               const std::string& carrierSettings = TapSettings()) {
    const auto cls = type == CT_TAP ? MakeChannelClass<TChannelTap>("TChannelTap")
                                    : MakeChannelClass<TChannelDirectTap>("TChannelDirectTap");
    auto channel = cls->Create(list_, type, 1, carrierSettings, std::move(device));
    EXPECT_NE(channel, nullptr);
    if (channel) channels_.push_back(channel);
    return channel;
  }

  // Collects finished parts until count came back; fewer when the deadline passed.
  std::vector<TPart> Collect(TNBaseCarrierChannel& channel, size_t count,
                             std::chrono::milliseconds deadline = 60s) {
    return CollectResults(channel, count, deadline);
  }

  // Peers live in the fixture so the line's thread is stopped before they go.
  template <class P, class... A>
  P& Own(A&&... args) {
    auto peer = std::make_unique<P>(std::forward<A>(args)...);
    P& ref = *peer;
    peers_.push_back(std::move(peer));
    return ref;
  }
  FakeTapTerminal& Terminal(FakeTapTerminal::Options options = {}) {
    return Own<FakeTapTerminal>(std::move(options));
  }

  PtyPair pty_;
  LogCapture log_;
  std::vector<std::unique_ptr<FakeLinePeer>> peers_;
  std::unique_ptr<FakeModem> modem_;
  std::unique_ptr<PtyLine> line_;
  std::shared_ptr<TNChannelsList> list_ = std::make_shared<TNChannelsList>();

private:
  std::vector<int32_t> saved_;
  std::shared_ptr<TNBaseCarrierChannel> driven_;
  std::vector<std::shared_ptr<TNBaseCarrierChannel>> channels_;
};

} // namespace voxmit::test
