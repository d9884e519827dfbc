#pragma once
// A UDP peer on 127.0.0.1 for the datagram carriers: bound to a port of its own choosing, it
// hands back what arrived, one datagram at a time, with the sender's port. Datagrams wait in
// the kernel's buffer until read, so no thread is needed. Test thread only.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <Poco/Net/DatagramSocket.h>

namespace voxmit::test {

struct TDatagram {
  std::string Data;
  uint16_t SourcePort = 0;
};

class UdpListener {
public:
  UdpListener();
  uint16_t Port() const { return port_; }
  // The next datagram, or nothing when none came within timeout.
  std::optional<TDatagram> Receive(std::chrono::milliseconds timeout);
  // Every datagram that arrives until none has come for quiet.
  std::vector<TDatagram> ReceiveAll(std::chrono::milliseconds quiet);

private:
  Poco::Net::DatagramSocket socket_;
  uint16_t port_ = 0;
  std::vector<char> buffer_ = std::vector<char>(65536);  // the largest datagram
};

} // namespace voxmit::test
