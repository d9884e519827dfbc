#pragma once
// A test facility, not a carrier: TChannelTest pretends to be a carrier and behaves as its
// carrier settings text says, so end-to-end tests can run the whole road of a message
// (client, store, scheduler, iterator, channel, result) without a modem or a network peer.
// It is registered only when the environment variable VOXMIT_TEST_CHANNELS names carrier
// types (comma text of numbers, e.g. "1,5"); for each, it replaces the real class.
//
// Carrier settings: comma text of key=value items, each optional.
//   maxlen=N     MaxMessageLength (default 160)
//   perconn=N    MaxMessagesPerConnection (default 100, at least 1)
//   port=fail    InitPort fails           device=fail   InitDevice fails
//   connect=N    Connect result 0 to 3 (TChannelConnectResult)
//   abandon=P    messages to pager ID P are rejected for good (srAbandon)
//   retry=P      messages to pager ID P are refused every time (srRetry)
//   abandontext=S  parts whose text holds S are rejected for good (srAbandon)
//   delay=MS     each send takes MS milliseconds (at most 60000)
// Unknown items and bad values are logged and ignored. The channel logs each part it
// "sends": "TChannelTest, sent to \"pager\": \"text\"".
//
// Threads: RegisterTestChannels belongs to program start, after the real carriers have
// registered. The channel's operations run on its worker as for any carrier.

#include <cstdint>
#include <string>

#include "channels/BaseChannel.h"

namespace voxmit {

inline constexpr const char* kTestChannelsVariable = "VOXMIT_TEST_CHANNELS";

class TChannelTest : public TNBaseCarrierChannel {
public:
  explicit TChannelTest(const TNChannelArgs& args);
  static TBufferLimits GetBufferLimits();

protected:
  bool InitPort() override { return portOk_; }
  bool InitDevice() override { return deviceOk_; }
  TChannelConnectResult Connect() override { return connectResult_; }
  bool Disconnect() override { return true; }
  TChannelSendResult SendMessage(TNBaseChannelMessage& part) override;
  void BuildMessageBlock(const std::string& text, const std::string& pagerID,
                         std::string& block) override;
  bool ParseDeviceSettings() override { return true; }
  bool ParseCarrierSettings() override;

private:
  bool portOk_ = true;
  bool deviceOk_ = true;
  TChannelConnectResult connectResult_ = crConnected;
  std::string abandonPager_;
  std::string retryPager_;
  std::string abandonText_;
  int32_t delayMs_ = 0;
};

// Registers TChannelTest for every carrier type named in VOXMIT_TEST_CHANNELS, replacing
// the class registered before; returns how many. Does nothing when the variable is unset.
int32_t RegisterTestChannels();

} // namespace voxmit
