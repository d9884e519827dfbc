#pragma once
// A carrier channel whose behaviour the test scripts: the results of InitPort, InitDevice and
// Connect, one send result per SendMessage call, delays, and a gate that holds SendMessage
// until the test opens it. Register it for any carrier type in place of a real carrier
// (RegisterScriptedChannel) to drive the iterators, the scheduler and the worker end to end.
//
// Every call the channel receives is written to the script's journal ("InitPort",
// "InitDevice", "Connect", "Send:<text>", "HangUp", "Disconnect", "ResetPort"), so a test
// checks what the worker did and in which order.
//
// Threads: the script's settings are set by the test before any channel of it is created and
// only read afterwards; the journal, the send-result cursor and the gate are safe from any
// thread (mutex_ guards journal_ and nextSend_).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "channels/BaseChannel.h"
#include "channels/RegChannels.h"
#include "platform/TNEvent.h"

namespace voxmit::test {

class TChannelScript {
public:
  bool InitPortResult = true;
  bool InitDeviceResult = true;
  TChannelConnectResult ConnectResult = crConnected;
  // One result per SendMessage call, across all parts, in call order; DefaultSendResult
  // once they are used up.
  std::vector<TChannelSendResult> SendResults;
  TChannelSendResult DefaultSendResult = srSent;
  // When set, decides the result of a send instead of the list (e.g. by the part's text).
  std::function<TChannelSendResult(const TNBaseChannelMessage&)> OnSend;
  std::chrono::milliseconds SendDelay{0};
  int32_t MaxMessageLength = 160;
  int32_t MaxMessagesPerConnection = 1000;
  TBufferLimits Limits{27, 1000};
  // While closed, SendMessage waits (up to 30 s) for the gate to open.
  bool GateSends = false;
  // Makes ParseCarrierSettings throw, as a carrier with unreadable settings might.
  bool ThrowOnParse = false;
  // SendMessage blocks as a carrier talking to a silent peer would: it waits (WaitOrStop, up
  // to 30 s) until the channel is closed and then answers srNoAnswer.
  bool SendWaitsForStop = false;
  // What an exception out of SendMessage stands for (the class's SendExceptionResult).
  TChannelSendResult ExceptionResult = srRetry;
  // How often OnClose ran (kept out of the journal: it runs on the closing thread).
  std::atomic<int32_t> OnCloseCalls{0};

  void OpenGate() { gate_.Set(); }
  // Waits for the gate; false when it did not open within the deadline.
  bool WaitForGate() { return !GateSends || gate_.Wait(30000) == wrSignaled; }

  void Record(std::string call);
  std::vector<std::string> Journal() const;
  // How many journal entries equal call.
  int32_t CountOf(const std::string& call) const;
  TChannelSendResult NextSendResult(const TNBaseChannelMessage& part);

private:
  mutable std::mutex mutex_;
  std::vector<std::string> journal_;
  size_t nextSend_ = 0;
  TNEvent gate_;
};

class TScriptedChannel : public TNBaseCarrierChannel {
public:
  TScriptedChannel(const TNChannelArgs& args, std::shared_ptr<TChannelScript> script);

protected:
  bool InitPort() override;
  bool ResetPort() override;
  bool InitDevice() override;
  TChannelConnectResult Connect() override;
  bool HangUp() override;
  bool Disconnect() override;
  TChannelSendResult SendMessage(TNBaseChannelMessage& part) override;
  void BuildMessageBlock(const std::string& text, const std::string& pagerID,
                         std::string& block) override;
  bool ParseDeviceSettings() override;
  bool ParseCarrierSettings() override;
  void OnClose() override;
  TChannelSendResult SendExceptionResult() const override;

private:
  std::shared_ptr<TChannelScript> script_;
};

// The class entry of channels following script, named "TScriptedChannel".
std::shared_ptr<const TNChannelClass> ScriptedChannelClass(std::shared_ptr<TChannelScript> script);

// Registers the scripted class for the carrier type in the process-wide registry, replacing
// whatever was registered for it, and takes it out again when destroyed.
class TScriptedRegistration {
public:
  TScriptedRegistration(TCarrierType carrierType, std::shared_ptr<TChannelScript> script);
  ~TScriptedRegistration();
  TScriptedRegistration(const TScriptedRegistration&) = delete;
  TScriptedRegistration& operator=(const TScriptedRegistration&) = delete;

private:
  TCarrierType carrierType_;
};

} // namespace voxmit::test
