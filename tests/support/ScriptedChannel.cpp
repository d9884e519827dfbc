#include "support/ScriptedChannel.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "devices/Devices.h"

namespace voxmit::test {

void TChannelScript::SetSend(TSendDecision decide) {
  std::lock_guard lock(mutex_);
  send_ = std::move(decide);
}

void TChannelScript::SetConnect(TConnectDecision decide) {
  std::lock_guard lock(mutex_);
  connect_ = std::move(decide);
}

void TChannelScript::Record(std::string call) {
  std::lock_guard lock(mutex_);
  journal_.push_back(std::move(call));
}

std::vector<std::string> TChannelScript::Journal() const {
  std::lock_guard lock(mutex_);
  return journal_;
}

int32_t TChannelScript::CountOf(const std::string& call) const {
  std::lock_guard lock(mutex_);
  return static_cast<int32_t>(std::count(journal_.begin(), journal_.end(), call));
}

std::vector<TSentPart> TChannelScript::Sent() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

int32_t TChannelScript::MaxQueued(const std::string& device) const {
  std::lock_guard lock(mutex_);
  auto found = maxQueued_.find(device);
  return found == maxQueued_.end() ? 0 : found->second;
}

TChannelConnectResult TChannelScript::NextConnectResult(int32_t carrierID) {
  TConnectDecision decide;
  {
    std::lock_guard lock(mutex_);
    decide = connect_;
  }
  return decide ? decide(carrierID) : ConnectResult;
}

TChannelSendResult TChannelScript::NextSendResult(const TNBaseChannelMessage& part,
                                                  int32_t carrierID) {
  TSendDecision decide;
  {
    std::lock_guard lock(mutex_);
    if (!send_) return nextSend_ < SendResults.size() ? SendResults[nextSend_++]
                                                      : DefaultSendResult;
    decide = send_;
  }
  // Called without the lock: a decision may block (a gate) while other channels send.
  return decide(part, carrierID);
}

void TChannelScript::NoteQueued(const std::string& device, int32_t queued) {
  std::lock_guard lock(mutex_);
  int32_t& most = maxQueued_[device];
  most = std::max(most, queued);
}

void TChannelScript::NoteSent(TSentPart part) {
  std::lock_guard lock(mutex_);
  sent_.push_back(std::move(part));
}

TScriptedChannel::TScriptedChannel(const TNChannelArgs& args,
                                   std::shared_ptr<TChannelScript> script)
    : TNBaseCarrierChannel(args), script_(std::move(script)) {
  MaxMessagesPerConnection = script_->MaxMessagesPerConnection;
}

bool TScriptedChannel::InitPort() {
  script_->Record("InitPort");
  return script_->InitPortResult;
}

bool TScriptedChannel::ResetPort() {
  script_->Record("ResetPort");
  return true;
}

bool TScriptedChannel::InitDevice() {
  script_->Record("InitDevice");
  return script_->InitDeviceResult;
}

TChannelConnectResult TScriptedChannel::Connect() {
  script_->Record("Connect");
  return script_->NextConnectResult(CarrierID());
}

bool TScriptedChannel::HangUp() {
  script_->Record("HangUp");
  return true;
}

bool TScriptedChannel::Disconnect() {
  script_->Record("Disconnect");
  return true;
}

TChannelSendResult TScriptedChannel::SendMessage(TNBaseChannelMessage& part) {
  script_->Record("Send:" + part.MessageText);
  {
    TNReadLock lock(FiFoIn().Lock());
    script_->NoteQueued(Device()->Name, FiFoIn().Count());
  }
  if (!script_->WaitForGate()) throw std::runtime_error("send gate never opened");
  if (script_->SendDelay.count() > 0) std::this_thread::sleep_for(script_->SendDelay);
  if (script_->SendWaitsForStop) {
    WaitOrStop(30000);
    return srNoAnswer;
  }
  const TChannelSendResult result = script_->NextSendResult(part, CarrierID());
  if (result == srSent)
    script_->NoteSent({.ID = part.ID,
                       .Device = Device()->Name,
                       .CarrierID = CarrierID(),
                       .Text = part.MessageText});
  return result;
}

void TScriptedChannel::BuildMessageBlock(const std::string& text, const std::string& pagerID,
                                         std::string& block) {
  block = pagerID + "\r" + text + "\r";
}

bool TScriptedChannel::ParseDeviceSettings() { return true; }

void TScriptedChannel::OnClose() { ++script_->OnCloseCalls; }

TChannelSendResult TScriptedChannel::SendExceptionResult() const {
  return script_->ExceptionResult;
}

bool TScriptedChannel::ParseCarrierSettings() {
  if (script_->ThrowOnParse) throw std::runtime_error("unreadable carrier settings");
  MaxMessageLength = script_->MaxMessageLength;
  return true;
}

std::shared_ptr<const TNChannelClass> ScriptedChannelClass(std::shared_ptr<TChannelScript> script) {
  return std::make_shared<const TNChannelClass>(
      "TScriptedChannel",
      [script](const TNChannelArgs& args) {
        return std::make_shared<TScriptedChannel>(args, script);
      },
      [script] { return script->Limits; });
}

TScriptedRegistration::TScriptedRegistration(std::vector<TCarrierType> carrierTypes,
                                             std::shared_ptr<TChannelScript> script)
    : carrierTypes_(std::move(carrierTypes)) {
  const auto cls = ScriptedChannelClass(std::move(script));
  for (TCarrierType type : carrierTypes_) {
    CarrierChannelsList().UnregisterChannelClass(type);
    CarrierChannelsList().RegisterChannelClass(type, cls);
  }
}

TScriptedRegistration::~TScriptedRegistration() {
  for (TCarrierType type : carrierTypes_) CarrierChannelsList().UnregisterChannelClass(type);
}

} // namespace voxmit::test
