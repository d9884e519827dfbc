#include "carriers/ChannelACU.h"

#include <limits>

#include <Poco/Exception.h>
#include <Poco/Format.h>
#include <Poco/Net/DatagramSocket.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/SocketAddress.h>

#include "common/CommaText.h"
#include "host/LogFile.h"

namespace voxmit {

namespace acu {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A port item: an integer from lowest to 65535.
bool PortItem(std::string_view item, int32_t lowest, uint16_t& port) {
  int32_t value = 0;
  if (!CommaFieldToInt(item, value) || value < lowest || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

} // namespace

std::optional<std::string> UnescapeHex(std::string_view text) {
  std::string out(text);
  for (size_t at = out.find('\\'); at != std::string::npos; at = out.find('\\')) {
    if (out.size() - at < 3) return std::nullopt;
    const int high = HexValue(out[at + 1]);
    const int low = HexValue(out[at + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.replace(at, 3, 1, static_cast<char>(high * 16 + low));
  }
  return out;
}

bool ReadNumberAndFraming(const std::vector<std::string>& items, int32_t& number,
                          std::string& prefix, std::string& suffix, std::string& why) {
  if (items.size() < 3 || !CommaFieldToInt(items[0], number)) {
    why = "the number (item 1) is not an integer";
    return false;
  }
  const auto unescapedPrefix = UnescapeHex(TrimControls(items[1]));
  const auto unescapedSuffix = UnescapeHex(TrimControls(items[2]));
  if (!unescapedPrefix || !unescapedSuffix) {
    why = "a backslash in the prefix or the suffix is not followed by two hex digits";
    return false;
  }
  prefix = *unescapedPrefix;
  suffix = *unescapedSuffix;
  return true;
}

int32_t LengthLimit(std::string_view item, int32_t reserve) {
  int32_t limit = 0;
  if (!CommaFieldToInt(item, limit)) limit = std::numeric_limits<int32_t>::max();
  // A limit below the reserve would wrap; it leaves no room for any text.
  return limit < std::numeric_limits<int32_t>::min() + reserve ? 0 : limit - reserve;
}

bool ParseCarrierSettings(std::string_view text, TCarrierSettingsACU& into, std::string& why) {
  const std::vector<std::string> items = SplitCommaText(text);
  if (items.size() != 6) {
    why = Poco::format("the carrier settings have %z items instead of 6", items.size());
    return false;
  }
  TCarrierSettingsACU read;
  if (!ReadNumberAndFraming(items, read.Number, read.Prefix, read.Suffix, why)) return false;
  read.MaxMessageLength = LengthLimit(TrimControls(items[3]), 4);
  for (const std::string& entry : SplitCommaText(items[4])) {
    const std::vector<std::string> fields = SplitCommaText(entry);
    TDestination destination;
    if (fields.size() < 5 || !PortItem(fields[3], 1, destination.RemotePort) ||
        !PortItem(fields[4], 0, destination.LocalPort)) {
      why = "the destination \"" + entry + "\" does not have a host, a remote port and a local port";
      return false;
    }
    destination.Host = TrimControls(fields[2]);
    read.Destinations.push_back(destination);
  }
  into = read;
  return true;
}

std::optional<std::string> BuildPayload(const TCarrierSettingsACU& settings, std::string_view text,
                                        std::string_view pagerID, std::string& why) {
  const std::vector<std::string> items = SplitCommaText(pagerID);
  int32_t mode = 0;
  if (items.empty() || !CommaFieldToInt(items[0], mode)) {
    why = "the mode (pager ID item 1) is not an integer";
    return std::nullopt;
  }
  const std::string body = settings.Prefix + std::string(text) + settings.Suffix;
  if (mode != 0) return "TTS " + body;
  if (items.size() < 2) {
    why = "the pager ID has no item 2 for the IPP DATA form";
    return std::nullopt;
  }
  return "IPP DATA " + TrimControls(items[1]) + "," + body;
}

} // namespace acu

// ---- TChannelACU --------------------------------------------------------------------------------

TChannelACU::TChannelACU(const TNChannelArgs& args) : TBaseChannelINet(args) {}

bool TChannelACU::ParseCarrierSettings() {
  std::string why;
  if (!acu::ParseCarrierSettings(CarrierSettings(), settings_, why)) {
    LogMessage("ChannelACU, carrier settings rejected: " + why);
    return false;
  }
  MaxMessageLength = settings_.MaxMessageLength;
  return true;
}

TChannelConnectResult TChannelACU::Connect() {
  LogMessage("ChannelACU, connect succeeded");
  return crConnected;
}

bool TChannelACU::Disconnect() {
  ShowActivity("Not used");
  return true;
}

void TChannelACU::BuildMessageBlock(const std::string& text, const std::string& pagerID,
                                    std::string& block) {
  std::string why;
  const auto payload = acu::BuildPayload(settings_, text, pagerID, why);
  block = payload.value_or(std::string());
  const auto items = SplitCommaText(pagerID);
  if (!items.empty()) CommaFieldToInt(items[0], mode_);
}

TChannelSendResult TChannelACU::SendMessage(TNBaseChannelMessage& part) {
  ShowActivity("Sending Message");
  std::string why;
  const auto payload = acu::BuildPayload(settings_, part.MessageText, part.PagerID, why);
  if (!payload) {
    LogMessage("ChannelACU, message abandoned: " + why);
    return srAbandon;
  }
  if (settings_.Destinations.empty()) {
    LogMessage("ChannelACU, message abandoned: the carrier settings name no destination");
    return srAbandon;
  }
  bool allSent = true;
  for (const acu::TDestination& destination : settings_.Destinations)
    allSent = SendTo(destination, *payload) && allSent;
  return allSent ? srSent : srAbandon;
}

bool TChannelACU::SendTo(const acu::TDestination& destination, const std::string& payload) {
  try {
    const Poco::Net::SocketAddress remote(destination.Host, destination.RemotePort);
    Poco::Net::DatagramSocket socket(remote.family());
    if (destination.LocalPort != 0)
      socket.bind(Poco::Net::SocketAddress(Poco::Net::IPAddress(remote.family()),
                                           destination.LocalPort));
    const int sent = socket.sendTo(payload.data(), static_cast<int>(payload.size()), remote);
    if (sent == static_cast<int>(payload.size())) return true;
    LogMessage(Poco::format("ChannelACU, sending to %s:%hu failed: %d of %z bytes sent",
                            destination.Host, destination.RemotePort, sent, payload.size()));
  } catch (const std::exception& e) {
    LogMessage(Poco::format("ChannelACU, sending to %s:%hu failed: %s", destination.Host,
                            destination.RemotePort, ErrorText(e)));
  }
  return false;
}

} // namespace voxmit
