#include "support/ScriptedChannel.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

namespace voxmit::test {

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

TChannelSendResult TChannelScript::NextSendResult(const TNBaseChannelMessage& part) {
  if (OnSend) return OnSend(part);
  std::lock_guard lock(mutex_);
  if (nextSend_ < SendResults.size()) return SendResults[nextSend_++];
  return DefaultSendResult;
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
  return script_->ConnectResult;
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
  if (!script_->WaitForGate()) throw std::runtime_error("send gate never opened");
  if (script_->SendDelay.count() > 0) std::this_thread::sleep_for(script_->SendDelay);
  if (script_->SendWaitsForStop) {
    WaitOrStop(30000);
    return srNoAnswer;
  }
  return script_->NextSendResult(part);
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

TScriptedRegistration::TScriptedRegistration(TCarrierType carrierType,
                                             std::shared_ptr<TChannelScript> script)
    : carrierType_(carrierType) {
  CarrierChannelsList().UnregisterChannelClass(carrierType);
  CarrierChannelsList().RegisterChannelClass(carrierType, ScriptedChannelClass(std::move(script)));
}

TScriptedRegistration::~TScriptedRegistration() {
  CarrierChannelsList().UnregisterChannelClass(carrierType_);
}

} // namespace voxmit::test
