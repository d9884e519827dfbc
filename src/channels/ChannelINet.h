#pragma once
// The base of the carrier channels that reach their carrier over TCP/IP (SMTP, SNPP, WCTP,
// MSG, ACU, ACU gatekeeper): a host and a port from the borrowed IP network device, a device
// that needs no preparation, one message per connection, and the URL helpers two of them
// share. It owns no socket; each carrier owns its own protocol client, shuts it down in
// OnClose so that a silent server cannot hold up a stop, and bounds every socket operation by
// NetTimeoutMs.
//
// Threads: as for every channel (BaseChannel.h): the settings fields are written before the
// worker starts and afterwards only by the worker (a carrier's ParseCarrierSettings may
// overwrite Host and Port with a server of its own). EncodeUrl and SplitGatewayUrl are pure
// functions, callable from any thread.

#include <cstdint>
#include <string>
#include <string_view>

#include "channels/BaseChannel.h"

namespace voxmit {

class TBaseChannelINet : public TNBaseCarrierChannel {
public:
  // Queue marks shared by every network carrier: 1000 parts in, OutputBufferLimit out.
  static constexpr int32_t InputBufferLimitINet = 1000;
  static TBufferLimits GetBufferLimits();

  // Connect and read time-out of every network carrier's client: a server that accepts and
  // never answers cannot hold a channel for ever.
  static constexpr int32_t NetTimeoutMs = 30000;

protected:
  // Sets MaxMessagesPerConnection to 1: the worker disconnects after every message.
  explicit TBaseChannelINet(const TNChannelArgs& args);

  // A network device needs no preparation.
  bool InitDevice() override { return true; }
  // A network channel drops its link the way it logs off.
  bool HangUp() override { return Disconnect(); }
  // Items 1 and 2 of the device's settings, verbatim, into Host and Port; a device with fewer
  // items leaves both empty, so that Connect fails.
  bool ParseDeviceSettings() override;
  // A network failure while sending is final for the message: it is never retried.
  TChannelSendResult SendExceptionResult() const override { return srAbandon; }

  // Port as a TCP port number (1 to 65535, blanks around it allowed); false otherwise.
  bool PortNumber(uint16_t& port) const;

  std::string Host;
  std::string Port;  // decimal text; converted at the moment of use
};

// A URL text as sent on the wire: each byte that is one of * # % < > space [ ] or whose code
// is outside 33 to 128 becomes "%" and two upper-case hex digits; every other byte (& = ? / +
// : and the bytes 127 and 128 included) stays as it is. Encoded text is encoded again.
std::string EncodeUrl(std::string_view url);

// The host and the path of a gateway URL scheme://[user[:password]@]host[:port]/path/document
// [?query][#fragment]: the path runs from the first "/" after the host up to and including the
// last "/" ("/" when there is none); document, query, fragment and port are dropped. Without
// "://" the host is empty and the path is the text up to and including its last "/" (empty
// when there is none).
struct TGatewayUrl {
  std::string Host;
  std::string Path;
};
TGatewayUrl SplitGatewayUrl(std::string_view url);

} // namespace voxmit
