#include "support/UdpListener.h"

#include <Poco/Exception.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Timespan.h>

namespace voxmit::test {

UdpListener::UdpListener() : socket_(Poco::Net::SocketAddress("127.0.0.1", 0)) {
  port_ = socket_.address().port();
}

std::optional<TDatagram> UdpListener::Receive(std::chrono::milliseconds timeout) {
  if (!socket_.poll(Poco::Timespan(timeout.count() * 1000), Poco::Net::Socket::SELECT_READ))
    return std::nullopt;
  std::string buffer(65536, '\0');
  Poco::Net::SocketAddress sender;
  const int n = socket_.receiveFrom(buffer.data(), static_cast<int>(buffer.size()), sender);
  buffer.resize(static_cast<size_t>(n < 0 ? 0 : n));
  return TDatagram{buffer, sender.port()};
}

std::vector<TDatagram> UdpListener::ReceiveAll(std::chrono::milliseconds quiet) {
  std::vector<TDatagram> all;
  while (auto datagram = Receive(quiet)) all.push_back(*datagram);
  return all;
}

} // namespace voxmit::test
