#pragma once
// Pager messages to a web messaging gateway that takes a whole message as the query string of
// one HTTP GET (CT_MSG).
//
// The codec (query value encoding, the query, the request target) is a set of pure functions
// callable from any thread. TChannelMSG is a carrier channel: the iterator constructs it, and
// from then on only its own worker thread calls its virtual operations; OnClose (any thread)
// aborts the probe or the request in progress. The channel owns its HTTP client.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "carriers/HttpGateway.h"
#include "channels/ChannelINet.h"

namespace voxmit {

namespace msg {

// The path of a gateway whose URL gives none.
inline constexpr const char* kDefaultPath = "send";
// Connect time-out of the reachability probe.
inline constexpr int32_t ProbeTimeoutMs = 4000;

// The message text as one query value: the bytes EncodeUrl encodes and the query's own
// delimiters & = + # ; become "%" and two upper-case hex digits, so no text can end its
// parameter or add another.
std::string EncodeQueryValue(std::string_view text);

// The query in its wire form: "?id=" item 2, "&to=" item 1, "&from=" item 3, "&text=" the
// text, "&user=" item 4, "&pass=" item 5. The pager ID items (trimmed) go through EncodeUrl, the
// text through EncodeQueryValue. Nothing when the pager ID has fewer than five items.
std::optional<std::string> BuildQuery(std::string_view text, std::string_view pagerID);

// The request target: EncodeUrl("/" + path) followed by the query as built.
std::string RequestTarget(std::string_view path, std::string_view query);

} // namespace msg

class TChannelMSG : public TBaseChannelINet {
public:
  explicit TChannelMSG(const TNChannelArgs& args);

protected:
  // Opens and closes a TCP connection to the gateway within ProbeTimeoutMs; nothing is sent.
  TChannelConnectResult Connect() override;
  bool Disconnect() override;
  // One GET of the query; srAbandon for a failed GET, a status outside 200-299 or a pager ID
  // with fewer than five items; a GET cut short by a stop is srRetry, so that the part is
  // handed back untried.
  TChannelSendResult SendMessage(TNBaseChannelMessage& part) override;
  // The query (BuildQuery); empty when the pager ID has too few items.
  void BuildMessageBlock(const std::string& text, const std::string& pagerID,
                         std::string& block) override;
  bool ParseCarrierSettings() override;
  void OnClose() override { client_.Abort(); }

  // Read and write time-out of the GET (and its connect time-out); tests may shorten it.
  int32_t NetTimeout = NetTimeoutMs;
  std::string Path;

private:
  THttpGatewayClient client_;
};

} // namespace voxmit
