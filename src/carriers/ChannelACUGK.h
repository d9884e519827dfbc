#pragma once
// Texts to ACU terminals through the terminal network's gatekeeper (CT_ACUGK): each message
// part goes once to every terminal of the carrier settings, handed to the gatekeeper object on
// the UI thread (ACUGK.h).
//
// The codec (settings reader, payload, request texts) is a set of pure functions callable from
// any thread. TChannelACUGK is a carrier channel whose worker never calls the terminal library:
// it posts requests to the UI thread and watches the gatekeeper's flags. Its two waits (for the
// gatekeeper object in InitDevice, for the link in Connect) are bounded and end at once when
// the channel is closed; the constructor posts and waits for nothing.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channels/ChannelINet.h"

namespace voxmit {

namespace acugk {

// The eleven carrier settings items; prefix and suffix already unescaped.
struct TCarrierSettingsACUGK {
  int32_t Number = 0;
  std::string Prefix;
  std::string Suffix;
  std::string Host;
  std::string Port;
  std::string TextA;
  std::string TextB;
  std::string NumberC;  // an integer, kept as text
  int32_t MaxMessageLength = 0;
  std::vector<std::string> Terminals;  // terminal IDs (integers), in order
};

// Reads the settings text. Fails, with why, when it does not have exactly eleven items, the
// number, the port or number C is not an integer, an escape is broken, or a terminal entry has
// no item 2 or one that is not an integer.
bool ParseCarrierSettings(std::string_view text, TCarrierSettingsACUGK& into, std::string& why);

// The payload of one part: "T" prefix text suffix when pager ID item 1 is not 0; when it is 0,
// "I", item 2 as eight upper-case hex digits (two's complement), items 3 and 4, then prefix
// text suffix. Nothing, with why, when item 1 or item 2 is not an integer or items 2 to 4 are
// missing in the I form.
std::optional<std::string> BuildPayload(const TCarrierSettingsACUGK& settings,
                                        std::string_view text, std::string_view pagerID,
                                        std::string& why);

// The request texts: "A,B,host,port,C" and "reference,terminal,payload", as comma lists.
std::string ConnectRequest(const TCarrierSettingsACUGK& settings);
std::string SendRequest(int32_t reference, const std::string& terminal, const std::string& payload);

} // namespace acugk

class TChannelACUGK : public TBaseChannelINet {
public:
  explicit TChannelACUGK(const TNChannelArgs& args);

  const acugk::TCarrierSettingsACUGK& Settings() const { return settings_; }

  // How long InitDevice waits for the gatekeeper object and Connect for the link.
  static constexpr int32_t GatekeeperWaitMsDefault = NetTimeoutMs;

protected:
  // Asks the UI thread for the gatekeeper and waits until it exists; false when it did not
  // come within GatekeeperWaitMs or the channel was closed.
  bool InitDevice() override;
  // Asks the gatekeeper to connect and waits for its link; crNoConnection when the link did not
  // come up within GatekeeperWaitMs or the channel was closed.
  TChannelConnectResult Connect() override;
  // The gatekeeper link stays up.
  bool Disconnect() override;
  // One send request per terminal; srSent at once (the gatekeeper's answer only reaches the
  // log). srAbandon when the payload cannot be built or there is no terminal.
  TChannelSendResult SendMessage(TNBaseChannelMessage& part) override;
  void BuildMessageBlock(const std::string& text, const std::string& pagerID,
                         std::string& block) override;
  // Accepted settings replace Host and Port with the gatekeeper's; rejected settings change
  // nothing, with a log line.
  bool ParseCarrierSettings() override;

  int32_t GatekeeperWaitMs = GatekeeperWaitMsDefault;

private:
  // Polls ready in short slices until it holds, the wait is over or the channel is closed.
  template <class Ready>
  bool WaitFor(Ready ready);

  acugk::TCarrierSettingsACUGK settings_;  // written by ParseCarrierSettings before the worker
  int32_t mode_ = 1;                       // the form of the last part built (worker only)
};

} // namespace voxmit
