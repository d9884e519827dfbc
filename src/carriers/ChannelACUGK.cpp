#include "carriers/ChannelACUGK.h"

#include <algorithm>
#include <cstdio>

#include <Poco/Format.h>

#include "carriers/ACUGK.h"
#include "carriers/ChannelACU.h"
#include "common/CommaText.h"
#include "host/LogFile.h"

namespace voxmit {

namespace acugk {

bool ParseCarrierSettings(std::string_view text, TCarrierSettingsACUGK& into, std::string& why) {
  const std::vector<std::string> items = SplitCommaText(text);
  if (items.size() != 11) {
    why = Poco::format("the carrier settings have %z items instead of 11", items.size());
    return false;
  }
  TCarrierSettingsACUGK read;
  int32_t unused = 0;
  if (!acu::ReadNumberAndFraming(items, read.Number, read.Prefix, read.Suffix, why)) return false;
  read.Host = TrimControls(items[3]);
  read.Port = TrimControls(items[4]);
  read.TextA = TrimControls(items[5]);
  read.TextB = TrimControls(items[6]);
  read.NumberC = TrimControls(items[7]);
  if (!CommaFieldToInt(read.Port, unused) || !CommaFieldToInt(read.NumberC, unused)) {
    why = "the gatekeeper port (item 5) or number (item 8) is not an integer";
    return false;
  }
  read.MaxMessageLength = acu::LengthLimit(TrimControls(items[8]), 1);
  for (const std::string& entry : SplitCommaText(items[9])) {
    const std::vector<std::string> fields = SplitCommaText(entry);
    if (fields.size() < 2 || !CommaFieldToInt(fields[1], unused)) {
      why = "the terminal entry \"" + entry + "\" has no terminal ID (item 2) that is an integer";
      return false;
    }
    read.Terminals.push_back(fields[1]);
  }
  into = read;
  return true;
}

std::optional<std::string> BuildPayload(const TCarrierSettingsACUGK& settings,
                                        std::string_view text, std::string_view pagerID,
                                        std::string& why) {
  const std::vector<std::string> items = SplitCommaText(pagerID);
  int32_t mode = 0;
  if (items.empty() || !CommaFieldToInt(items[0], mode)) {
    why = "the mode (pager ID item 1) is not an integer";
    return std::nullopt;
  }
  const std::string body = settings.Prefix + std::string(text) + settings.Suffix;
  if (mode != 0) return "T" + body;
  int32_t number = 0;
  if (items.size() < 4 || !CommaFieldToInt(items[1], number)) {
    why = "the pager ID lacks an integer item 2 and items 3 and 4 for the I form";
    return std::nullopt;
  }
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(static_cast<uint32_t>(number)));
  return "I" + std::string(hex) + TrimControls(items[2]) + TrimControls(items[3]) + body;
}

std::string ConnectRequest(const TCarrierSettingsACUGK& settings) {
  return JoinCommaText(
      {settings.TextA, settings.TextB, settings.Host, settings.Port, settings.NumberC});
}

std::string SendRequest(int32_t reference, const std::string& terminal,
                        const std::string& payload) {
  return JoinCommaText({std::to_string(reference), terminal, payload});
}

} // namespace acugk

// ---- TChannelACUGK ------------------------------------------------------------------------------

namespace {
// How often the waits look at the gatekeeper's flags.
constexpr int32_t kPollSliceMs = 100;
} // namespace

TChannelACUGK::TChannelACUGK(const TNChannelArgs& args) : TBaseChannelINet(args) {}

bool TChannelACUGK::ParseCarrierSettings() {
  std::string why;
  if (!acugk::ParseCarrierSettings(CarrierSettings(), settings_, why)) {
    LogMessage("ChannelACUGK, carrier settings rejected: " + why);
    return false;
  }
  Host = settings_.Host;
  Port = settings_.Port;
  MaxMessageLength = settings_.MaxMessageLength;
  return true;
}

template <class Ready>
bool TChannelACUGK::WaitFor(Ready ready) {
  for (int32_t waited = 0; !ready(); waited += kPollSliceMs) {
    if (waited >= GatekeeperWaitMs) return false;
    if (!WaitOrStop(std::min(kPollSliceMs, GatekeeperWaitMs - waited))) return false;
  }
  return true;
}

bool TChannelACUGK::InitDevice() {
  PostGatekeeperCreate();
  if (WaitFor([] { return ACUGateKeeper::Exists(); })) return true;
  if (!StopRequested()) LogMessage("ChannelACUGK, the gatekeeper object was not created");
  return false;
}

TChannelConnectResult TChannelACUGK::Connect() {
  PostGatekeeperConnect(acugk::ConnectRequest(settings_));
  if (WaitFor([] { return ACUGateKeeper::GatekeeperConnected(); })) return crConnected;
  if (!StopRequested()) LogMessage("ChannelACUGK, the gatekeeper reported no link: connect failed");
  return crNoConnection;
}

bool TChannelACUGK::Disconnect() {
  ShowActivity("Not used");
  return true;
}

void TChannelACUGK::BuildMessageBlock(const std::string& text, const std::string& pagerID,
                                      std::string& block) {
  std::string why;
  block = acugk::BuildPayload(settings_, text, pagerID, why).value_or(std::string());
  const auto items = SplitCommaText(pagerID);
  if (!items.empty()) CommaFieldToInt(items[0], mode_);
}

TChannelSendResult TChannelACUGK::SendMessage(TNBaseChannelMessage& part) {
  ShowActivity("Sending Message");
  std::string why;
  const auto payload = acugk::BuildPayload(settings_, part.MessageText, part.PagerID, why);
  if (!payload) {
    LogMessage("ChannelACUGK, message abandoned: " + why);
    return srAbandon;
  }
  if (settings_.Terminals.empty()) {
    LogMessage("ChannelACUGK, message abandoned: the carrier settings name no terminal");
    return srAbandon;
  }
  for (size_t k = 0; k < settings_.Terminals.size(); ++k)
    PostGatekeeperSend(acugk::SendRequest(static_cast<int32_t>(k), settings_.Terminals[k], *payload));
  return srSent;
}

} // namespace voxmit
