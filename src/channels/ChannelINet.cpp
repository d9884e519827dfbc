#include "channels/ChannelINet.h"

#include <vector>

#include "common/CommaText.h"
#include "devices/Devices.h"
#include "host/ServerSettings.h"

namespace voxmit {

TBaseChannelINet::TBaseChannelINet(const TNChannelArgs& args) : TNBaseCarrierChannel(args) {
  MaxMessagesPerConnection = 1;
}

TBufferLimits TBaseChannelINet::GetBufferLimits() {
  return {InputBufferLimitINet, settings::OutputBufferLimit};
}

bool TBaseChannelINet::ParseDeviceSettings() {
  const std::vector<std::string> items = SplitCommaText(Device()->SettingsData);
  if (items.size() < 2) {
    Host.clear();
    Port.clear();
    return false;
  }
  Host = items[0];
  Port = items[1];
  return true;
}

bool TBaseChannelINet::PortNumber(uint16_t& port) const {
  int32_t value = 0;
  if (!CommaFieldToInt(Port, value) || value < 1 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

std::string EncodeUrl(std::string_view url) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  static constexpr std::string_view kReserved = "*#%<> []";
  std::string out;
  out.reserve(url.size());
  for (char c : url) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 33 || byte > 128 || kReserved.find(c) != std::string_view::npos) {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

TGatewayUrl SplitGatewayUrl(std::string_view url) {
  TGatewayUrl result;
  const size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) {
    const size_t last = url.rfind('/');
    if (last != std::string_view::npos) result.Path = std::string(url.substr(0, last + 1));
    return result;
  }
  std::string_view rest = url.substr(scheme + 3);
  // The query and the fragment may hold slashes of their own; they take no part in the path.
  rest = rest.substr(0, rest.find_first_of("?#"));
  const size_t authorityEnd = rest.find('/');
  const size_t at = rest.substr(0, authorityEnd).rfind('@');
  if (at != std::string_view::npos) rest.remove_prefix(at + 1);
  const size_t hostEnd = rest.find_first_of(":/");
  result.Host = std::string(rest.substr(0, hostEnd));
  const size_t slash = rest.find('/');
  if (slash == std::string_view::npos) {
    result.Path = "/";
  } else {
    const size_t last = rest.rfind('/');
    result.Path = std::string(rest.substr(slash, last - slash + 1));
  }
  return result;
}

} // namespace voxmit
