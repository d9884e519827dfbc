#pragma once
// Paging through a paging terminal that speaks SNPP over TCP (CT_SNPP), with the client
// TIdSNPP. One message part per connection: Connect opens it and reads the greeting,
// SendMessage logs on (when a password is set) and pages, Disconnect says QUIT.
//
// The settings parser is a pure function callable from any thread. TChannelSNPP is a carrier
// channel: the iterator constructs it, and from then on only its own worker thread calls its
// virtual operations, except OnClose (any thread), which sets the stop event that ends every
// wait of the client at once.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "carriers/IdSNPP.h"
#include "channels/ChannelINet.h"
#include "platform/TNEvent.h"

namespace voxmit {

namespace snpp {

// The five carrier settings items: host, port, longest part, login ID, password.
struct TCarrierSettingsSNPP {
  std::string Host;
  std::string Port;
  int32_t MaxMessageLength = 0;
  std::string LoginID;
  std::string Password;
};

// Reads the settings text into into. False, and into unchanged, unless the text has exactly
// five items. Each item is trimmed; a longest part that is not a number means no splitting
// (2147483647).
bool ParseCarrierSettings(std::string_view text, TCarrierSettingsSNPP& into);

// The SNPP pager ID: item 1 of the message's pager ID list, which must hold at least two items
// (the second is not used). False when it has fewer.
bool ParsePagerID(std::string_view pagerIDList, std::string& pagerID);

} // namespace snpp

class TChannelSNPP : public TBaseChannelINet {
public:
  explicit TChannelSNPP(const TNChannelArgs& args);
  ~TChannelSNPP() override;

  // The connect and reply time-out of the client; a test may shorten it before Launch.
  void SetNetTimeoutMs(int32_t ms) { netTimeoutMs_ = ms; }

protected:
  // Opens the connection and reads the 220 greeting; crNoConnection on any failure.
  TChannelConnectResult Connect() override;
  // QUIT, expecting 221; the connection is closed in any case. False when that failed.
  bool Disconnect() override;
  // LOGI (when a password is set; its refusal is ignored), then the page. srAbandon when
  // the pager ID is unusable, SEND is refused or the connection fails; srRetry when the
  // channel is being closed meanwhile, so the part is handed back untried.
  TChannelSendResult SendMessage(TNBaseChannelMessage& part) override;
  void BuildMessageBlock(const std::string&, const std::string&, std::string&) override {}
  bool ParseCarrierSettings() override;
  void OnClose() override;

  snpp::TCarrierSettingsSNPP Settings;

private:
  const std::shared_ptr<TNEvent> stop_;
  int32_t netTimeoutMs_ = NetTimeoutMs;
  std::unique_ptr<TIdSNPP> client_;
};

} // namespace voxmit
