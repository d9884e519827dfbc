#include "carriers/ChannelSNPP.h"

#include <limits>
#include <vector>

#include "common/CommaText.h"
#include "host/LogFile.h"

namespace voxmit {

namespace snpp {

bool ParseCarrierSettings(std::string_view text, TCarrierSettingsSNPP& into) {
  const std::vector<std::string> items = SplitCommaText(text);
  if (items.size() != 5) return false;
  into.Host = TrimControls(items[0]);
  into.Port = TrimControls(items[1]);
  if (!CommaFieldToInt(items[2], into.MaxMessageLength))
    into.MaxMessageLength = std::numeric_limits<int32_t>::max();
  into.LoginID = TrimControls(items[3]);
  into.Password = TrimControls(items[4]);
  return true;
}

bool ParsePagerID(std::string_view pagerIDList, std::string& pagerID) {
  const std::vector<std::string> items = SplitCommaText(pagerIDList);
  if (items.size() < 2) return false;
  pagerID = items[0];
  return true;
}

} // namespace snpp

TChannelSNPP::TChannelSNPP(const TNChannelArgs& args)
    : TBaseChannelINet(args), stop_(std::make_shared<TNEvent>()) {}

TChannelSNPP::~TChannelSNPP() = default;

bool TChannelSNPP::ParseCarrierSettings() {
  if (!snpp::ParseCarrierSettings(CarrierSettings(), Settings)) return false;
  Host = Settings.Host;
  Port = Settings.Port;
  MaxMessageLength = Settings.MaxMessageLength;
  return true;
}

void TChannelSNPP::OnClose() { stop_->Set(); }

TChannelConnectResult TChannelSNPP::Connect() {
  LogMessage("ChannelSNPP, connecting ");
  uint16_t port = 0;
  if (!PortNumber(port)) {
    LogMessage("ChannelSNPP, connect failed");
    LogMessage("ChannelSNPP, the port \"" + Port + "\" is not a TCP port number");
    return crNoConnection;
  }
  try {
    if (!client_ || !client_->Connected()) {
      client_ = std::make_unique<TIdSNPP>(stop_, netTimeoutMs_);
      client_->Connect(Host, port);
    }
  } catch (const Poco::Exception& e) {
    client_.reset();
    LogMessage("ChannelSNPP, connect failed");
    LogMessage("ChannelSNPP, " + e.displayText());
    return crNoConnection;
  }
  LogMessage("ChannelSNPP, connect succeeded");
  return crConnected;
}

bool TChannelSNPP::Disconnect() {
  if (!client_) return false;
  bool ok = true;
  try {
    client_->Disconnect();
  } catch (const Poco::Exception& e) {
    LogMessage("ChannelSNPP, disconnect failed: " + e.displayText());
    ok = false;
  }
  client_.reset();
  return ok;
}

TChannelSendResult TChannelSNPP::SendMessage(TNBaseChannelMessage& part) {
  ShowActivity("Sending Message");
  std::string pagerID;
  if (!snpp::ParsePagerID(part.PagerID, pagerID)) {
    LogMessage("ChannelSNPP, the pager ID \"" + MakeControlsVisible(part.PagerID) +
               "\" needs two items: the message is abandoned");
    return srAbandon;
  }
  if (!client_ || !client_->Connected()) return srAbandon;
  try {
    if (!Settings.Password.empty()) client_->LoginCommand(Settings.LoginID, Settings.Password);
    client_->SendPage(pagerID, part.MessageText);
  } catch (const Poco::Exception& e) {
    LogMessage("ChannelSNPP, sending failed: " + e.displayText());
    // A page cut short by a stop was not refused: it goes back to be sent later.
    return StopRequested() ? srRetry : srAbandon;
  }
  return srSent;
}

} // namespace voxmit
