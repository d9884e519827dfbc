#include "carriers/ChannelMSG.h"

#include <vector>

#include <Poco/Exception.h>
#include <Poco/Format.h>

#include "common/CommaText.h"
#include "host/LogFile.h"

namespace voxmit {

namespace msg {

std::string EncodeQueryValue(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  static constexpr std::string_view kDelimiters = "&=+#;";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (kDelimiters.find(c) == std::string_view::npos) {
      out += EncodeUrl(std::string_view(&c, 1));
      continue;
    }
    const auto byte = static_cast<unsigned char>(c);
    out += '%';
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
  }
  return out;
}

std::optional<std::string> BuildQuery(std::string_view text, std::string_view pagerID) {
  const std::vector<std::string> items = SplitCommaText(pagerID);
  if (items.size() < 5) return std::nullopt;
  const auto item = [&](size_t i) { return EncodeUrl(TrimControls(items[i])); };
  return "?id=" + item(1) + "&to=" + item(0) + "&from=" + item(2) +
         "&text=" + EncodeQueryValue(text) + "&user=" + item(3) + "&pass=" + item(4);
}

std::string RequestTarget(std::string_view path, std::string_view query) {
  return EncodeUrl("/" + std::string(path)) + std::string(query);
}

} // namespace msg

// ---- TChannelMSG --------------------------------------------------------------------------------

TChannelMSG::TChannelMSG(const TNChannelArgs& args) : TBaseChannelINet(args) {}

bool TChannelMSG::ParseCarrierSettings() {
  TGatewaySettings settings{Host, Port, Path, MaxMessageLength};
  if (!ParseGatewaySettings(CarrierSettings(), msg::kDefaultPath, settings)) return false;
  Host = settings.Host;
  Port = settings.Port;
  Path = settings.Path;
  MaxMessageLength = settings.MaxMessageLength;
  return true;
}

TChannelConnectResult TChannelMSG::Connect() {
  uint16_t port = 0;
  if (!PortNumber(port)) {
    LogMessage(Poco::format("ChannelMSG, the port \"%s\" is not a TCP port number", Port));
    LogMessage("ChannelMSG, connect failed");
    return crNoConnection;
  }
  try {
    client_.Probe(Host, port, msg::ProbeTimeoutMs);
  } catch (const Poco::Exception& e) {
    LogMessage("ChannelMSG, " + ErrorText(e));
    LogMessage("ChannelMSG, connect failed");
    return crNoConnection;
  }
  LogMessage("ChannelMSG, connect succeeded");
  return crConnected;
}

bool TChannelMSG::Disconnect() { return client_.Close(); }

void TChannelMSG::BuildMessageBlock(const std::string& text, const std::string& pagerID,
                                    std::string& block) {
  block = msg::BuildQuery(text, pagerID).value_or(std::string());
}

TChannelSendResult TChannelMSG::SendMessage(TNBaseChannelMessage& part) {
  ShowActivity("Sending Message");
  const std::optional<std::string> query = msg::BuildQuery(part.MessageText, part.PagerID);
  if (!query) {
    // The pager ID holds the gateway's user and password: it stays out of the log.
    LogMessage("ChannelMSG, the pager ID has fewer than five items: the message is abandoned");
    return srAbandon;
  }
  uint16_t port = 0;
  if (!PortNumber(port)) return srAbandon;
  try {
    const int status = client_.Get(Host, port, msg::RequestTarget(Path, *query), NetTimeout);
    if (status >= 200 && status <= 299) return srSent;
    LogMessage(Poco::format("ChannelMSG, sending failed: the gateway answered HTTP status %d",
                            status));
  } catch (const Poco::Exception& e) {
    // A stop cut the exchange short: the part goes back untried rather than failed.
    if (StopRequested()) return srRetry;
    LogMessage("ChannelMSG, sending failed: " + ErrorText(e));
  }
  return srAbandon;
}

} // namespace voxmit
