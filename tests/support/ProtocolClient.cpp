#include "support/ProtocolClient.h"

#include <gtest/gtest.h>

namespace voxmit::test {

TProtocolClient::TProtocolClient(std::uint16_t port, std::chrono::milliseconds connectTimeout)
    : client::TClientConnection("127.0.0.1", port, connectTimeout) {}

bool TProtocolClient::ExpectNoReply(std::chrono::milliseconds timeout) {
  const auto reply = ReadReply(timeout);
  if (!reply) return true;
  ADD_FAILURE() << "unexpected reply: " << testing::PrintToString(reply->Body);
  return false;
}

bool TProtocolClient::Closed(std::chrono::milliseconds timeout) { return WaitClosed(timeout); }

} // namespace voxmit::test
