#include "support/UdpListener.h"

#include <Poco/Exception.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Timespan.h>

namespace voxmit::test {

UdpListener::UdpListener() : socket_(Poco::Net::SocketAddress("127.0.0.1", 0)) {
  port_ = socket_.address().port();
  // Room for bursts: the system caps it at its own maximum.
  socket_.setReceiveBufferSize(4 * 1024 * 1024);
}

std::optional<TDatagram> UdpListener::Receive(std::chrono::milliseconds timeout) {
  if (!socket_.poll(Poco::Timespan(timeout.count() * 1000), Poco::Net::Socket::SELECT_READ))
    return std::nullopt;
  Poco::Net::SocketAddress sender;
  const int n = socket_.receiveFrom(buffer_.data(), static_cast<int>(buffer_.size()), sender);
  return TDatagram{std::string(buffer_.data(), static_cast<size_t>(n < 0 ? 0 : n)), sender.port()};
}

std::vector<TDatagram> UdpListener::ReceiveAll(std::chrono::milliseconds quiet) {
  std::vector<TDatagram> all;
  while (auto datagram = Receive(quiet)) all.push_back(*datagram);
  return all;
}

} // namespace voxmit::test
