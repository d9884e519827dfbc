#pragma once
// The carrier channel of the unit tests: no I/O, every answer taken from a script the test
// sets. The script gives the results of InitPort, InitDevice and Connect, one send result per
// SendMessage call (or a decision per carrier: SetSend, SetConnect), delays, and a gate that
// holds SendMessage until the test opens it. Register it for any carrier types in place of the
// real carriers (TScriptedRegistration) to drive the worker, the iterators and the scheduler.
//
// What the channels did is recorded twice over:
//   - the journal: every call in order ("InitPort", "InitDevice", "Connect", "Send:<text>",
//     "HangUp", "Disconnect", "ResetPort"), so a test checks what the worker did and when;
//   - per device: each part answered srSent (ID, device, carrier, text) and the most parts any
//     channel on the device held in FiFoIn while it sent.
//
// Threads: the plain fields are set by the test before any channel of the script is created
// and only read afterwards. SetSend and SetConnect may replace a decision while channels run.
// The journal, the records, the decisions, the send-result cursor and the gate are safe from
// any thread (mutex_ guards everything below it).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "channels/BaseChannel.h"
#include "channels/RegChannels.h"
#include "platform/TNEvent.h"

namespace voxmit::test {

// A part a scripted channel sent.
struct TSentPart {
  int32_t ID = 0;
  std::string Device;  // the device's name
  int32_t CarrierID = 0;
  std::string Text;
};

class TChannelScript {
public:
  using TSendDecision =
      std::function<TChannelSendResult(const TNBaseChannelMessage& part, int32_t carrierID)>;
  using TConnectDecision = std::function<TChannelConnectResult(int32_t carrierID)>;

  bool InitPortResult = true;
  bool InitDeviceResult = true;
  // What Connect answers unless SetConnect decides.
  TChannelConnectResult ConnectResult = crConnected;
  // Unless SetSend decides: one result per SendMessage call, across all parts, in call order;
  // DefaultSendResult once they are used up.
  std::vector<TChannelSendResult> SendResults;
  TChannelSendResult DefaultSendResult = srSent;
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

  // Decides every send from the part and its carrier, in place of SendResults.
  void SetSend(TSendDecision decide);
  // Decides every connect by carrier, in place of ConnectResult.
  void SetConnect(TConnectDecision decide);

  void OpenGate() { gate_.Set(); }
  // Waits for the gate; false when it did not open within the deadline.
  bool WaitForGate() { return !GateSends || gate_.Wait(30000) == wrSignaled; }

  void Record(std::string call);
  std::vector<std::string> Journal() const;
  // How many journal entries equal call.
  int32_t CountOf(const std::string& call) const;

  // Parts answered srSent, in the order they were answered.
  std::vector<TSentPart> Sent() const;
  // The most parts any channel on the device held in FiFoIn while it sent.
  int32_t MaxQueued(const std::string& device) const;

  // For the channel.
  TChannelConnectResult NextConnectResult(int32_t carrierID);
  TChannelSendResult NextSendResult(const TNBaseChannelMessage& part, int32_t carrierID);
  void NoteQueued(const std::string& device, int32_t queued);
  void NoteSent(TSentPart part);

private:
  TNEvent gate_;
  mutable std::mutex mutex_;
  TSendDecision send_;
  TConnectDecision connect_;
  std::vector<std::string> journal_;
  size_t nextSend_ = 0;
  std::vector<TSentPart> sent_;
  std::map<std::string, int32_t> maxQueued_;
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

// Registers the scripted class for each carrier type in the process-wide registry, replacing
// whatever was registered for it, and takes them out again when destroyed.
class TScriptedRegistration {
public:
  TScriptedRegistration(std::vector<TCarrierType> carrierTypes,
                        std::shared_ptr<TChannelScript> script);
  ~TScriptedRegistration();
  TScriptedRegistration(const TScriptedRegistration&) = delete;
  TScriptedRegistration& operator=(const TScriptedRegistration&) = delete;

private:
  std::vector<TCarrierType> carrierTypes_;
};

} // namespace voxmit::test
