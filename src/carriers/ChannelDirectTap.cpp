#include "carriers/ChannelDirectTap.h"

#include <algorithm>

#include "devices/Devices.h"
#include "host/ServerSettings.h"

namespace voxmit {

namespace {

// The direct line has no data fields to fill: the logon's password field stays empty.
const std::string kDirectLogon = tap::LogonText("");

} // namespace

TChannelDirectTap::TChannelDirectTap(const TNChannelArgs& args)
    : TChannelTap(args), DirectPromptAnswers(tap::DirectPromptAnswers()) {}

TBufferLimits TChannelDirectTap::GetBufferLimits() { return {10000, settings::OutputBufferLimit}; }

bool TChannelDirectTap::InitDevice() { return true; }

bool TChannelDirectTap::ParseDeviceSettings() {
  TDirectDeviceSettings s;
  ParseDirectDeviceSettings(Device()->SettingsData, s);
  PortName = s.Port;
  return true;
}

std::string TChannelDirectTap::LogoffAnswer() const { return std::string{tap::ESC, tap::EOT}; }

TChannelConnectResult TChannelDirectTap::LogOnOnce() {
  bool prompted = false;
  for (int32_t i = 0; i < tap::PromptTries && !prompted; ++i) {
    int32_t matched = -1;
    prompted = SendModemStringEx("\r", DirectPromptAnswers, tap::PromptTimeoutMs, tap::CR,
                                 matched) == seOK &&
               matched == tap::paIdPrompt;
  }
  if (!prompted) return crNoLogonRequest;
  // The go-ahead is the dial-up logon's first answer.
  const std::string& goAhead = tap::LogonAnswers()[0];
  return SendModemString(kDirectLogon, goAhead, tap::LogonTimeoutMs, tap::CR) == seOK
             ? crConnected
             : crLogonError;
}

TChannelConnectResult TChannelDirectTap::Connect() {
  // The hang-up after the last logoff left DTR low; a terminal that watches it would not
  // answer this logon.
  if (PortHandle) PortHandle->SetDTR(true);
  const int32_t attempts = std::max(0, settings::LogonRetries.load()) + 1;
  TChannelConnectResult result = crConnected;
  for (int32_t i = 0; i < attempts; ++i) {
    result = LogOnOnce();
    if (result == crConnected) break;
  }
  return result;
}

} // namespace voxmit
