#pragma once
// Texts to ACU terminals as UDP datagrams (CT_ACU): each message part goes as one datagram to
// every destination of the carrier settings.
//
// The codec (UnescapeHex, the settings reader, the payload) is a set of pure functions callable
// from any thread. TChannelACU is a carrier channel: the iterator constructs it, and from then
// on only its own worker thread calls its virtual operations. Each datagram goes out through a
// socket of its own, opened and closed within SendMessage, so there is nothing for OnClose to
// interrupt (a send never waits for a peer).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channels/ChannelINet.h"

namespace voxmit {

namespace acu {

// The text with every backslash and the two hex digits after it (either case) replaced by the
// byte they write, scanning again from the start after each replacement, so that a decoded
// backslash (\5c) starts an escape of its own. Nothing when a backslash is not followed by two
// hex digits.
std::optional<std::string> UnescapeHex(std::string_view text);

// The first three carrier settings items both ACU carriers share: the number, then the prefix
// and the suffix, unescaped. False, with why, when one cannot be read.
bool ReadNumberAndFraming(const std::vector<std::string>& items, int32_t& number,
                          std::string& prefix, std::string& suffix, std::string& why);

// The limit of one part for a length limit item: L - reserve when L is an integer, otherwise
// 2147483647 - reserve.
int32_t LengthLimit(std::string_view item, int32_t reserve);

struct TDestination {
  std::string Host;
  uint16_t RemotePort = 0;
  uint16_t LocalPort = 0;  // 0: any
};

// The six carrier settings items; prefix and suffix already unescaped.
struct TCarrierSettingsACU {
  int32_t Number = 0;
  std::string Prefix;
  std::string Suffix;
  int32_t MaxMessageLength = 0;
  std::vector<TDestination> Destinations;
};

// Reads the settings text. Fails, with why, when it does not have exactly six items, the number
// is not an integer, an escape is broken, or a destination has fewer than five items or a port
// that is not a UDP port number (0 allowed for the local one).
bool ParseCarrierSettings(std::string_view text, TCarrierSettingsACU& into, std::string& why);

// The datagram for one part: "TTS " prefix text suffix when pager ID item 1 is not 0, or
// "IPP DATA " item 2 "," prefix text suffix when it is 0. Nothing, with why, when item 1 is not
// an integer or item 2 is missing in the IPP DATA form.
std::optional<std::string> BuildPayload(const TCarrierSettingsACU& settings, std::string_view text,
                                        std::string_view pagerID, std::string& why);

} // namespace acu

class TChannelACU : public TBaseChannelINet {
public:
  explicit TChannelACU(const TNChannelArgs& args);

  const acu::TCarrierSettingsACU& Settings() const { return settings_; }

protected:
  // No network work: a datagram carrier has no link to open.
  TChannelConnectResult Connect() override;
  bool Disconnect() override;
  // The payload to every destination in order; srAbandon when one failed (the rest are still
  // tried), when the payload cannot be built, or when there is no destination at all.
  TChannelSendResult SendMessage(TNBaseChannelMessage& part) override;
  void BuildMessageBlock(const std::string& text, const std::string& pagerID,
                         std::string& block) override;
  // Rejected settings leave every field empty and MaxMessageLength as it was, with a log line.
  bool ParseCarrierSettings() override;

private:
  // One datagram to one destination; false, logged, when it could not be sent.
  bool SendTo(const acu::TDestination& destination, const std::string& payload);

  acu::TCarrierSettingsACU settings_;  // written by ParseCarrierSettings before the worker starts
  int32_t mode_ = 1;                   // the form of the last part built (worker only)
};

} // namespace voxmit
