#pragma once
// A client of the server's TCP protocol for tests: an outside peer, built on the client-side
// protocol code in tools/ (not on the server's own), so a test checks the server against an
// independent reading of the protocol.
//
//   TProtocolClient client(port);
//   client.Logon("{...}", "Test client");
//   auto reply = client.ReadReply(5s);        // reply->Keyword == "LOGON_OK"
//   client.SendMessage(17, 1, "settings", "1234", "hello, world");
//   reply = client.ReadReply(5s);             // MESSAGE_ACCEPTED, Fields {"17", "<row>"}
//
// Replies are cut from the byte stream however the server's writes are split or joined.
// One thread at a time.

#include <chrono>
#include <cstdint>

#include "tools/ClientProtocol.h"

namespace voxmit::test {

using client::TReply;

class TProtocolClient : public client::TClientConnection {
public:
  // Connects to 127.0.0.1:port; throws Poco::Exception when that fails in time.
  explicit TProtocolClient(std::uint16_t port,
                           std::chrono::milliseconds connectTimeout = std::chrono::seconds(5));

  // True when no reply arrives within timeout; a reply that does arrive is reported as a test
  // failure with its body.
  bool ExpectNoReply(std::chrono::milliseconds timeout = std::chrono::milliseconds(300));
  // True when the server closes the connection within timeout. Replies sent before the close
  // stay readable with ReadReply.
  bool Closed(std::chrono::milliseconds timeout = std::chrono::seconds(10));
};

} // namespace voxmit::test
