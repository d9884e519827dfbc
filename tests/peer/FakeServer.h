#pragma once
// A scripted server peer on loopback for the client-side protocol tests: the test accepts the
// client's connection, writes the reply bytes it chooses (split or joined as it likes) and
// reads back the request bytes the client sent. Every read has a deadline.

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace voxmit::test {

class TFakeServer {
public:
  TFakeServer() : listener_(Poco::Net::SocketAddress("127.0.0.1", 0)) {}
  TFakeServer(const TFakeServer&) = delete;
  TFakeServer& operator=(const TFakeServer&) = delete;

  std::uint16_t Port() const { return listener_.address().port(); }

  // Waits for the client's connection.
  void Accept(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    if (!listener_.poll(Span(timeout), Poco::Net::Socket::SELECT_READ))
      throw std::runtime_error("no client connected");
    peer_ = listener_.acceptConnection();
    peer_.setNoDelay(true);
  }

  void Send(std::string_view bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size())
      sent += static_cast<std::size_t>(peer_.sendBytes(
          bytes.data() + sent, static_cast<int>(bytes.size() - sent), MSG_NOSIGNAL));
  }

  // Exactly count bytes, or fewer when the deadline passes or the client closes first.
  std::string Receive(std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::string bytes;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (bytes.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !peer_.poll(Span(left), Poco::Net::Socket::SELECT_READ)) break;
      char chunk[1024];
      const int n = peer_.receiveBytes(chunk, static_cast<int>(std::min(count - bytes.size(),
                                                                          sizeof chunk)));
      if (n <= 0) break;
      bytes.append(chunk, static_cast<std::size_t>(n));
    }
    return bytes;
  }

  // Everything up to and including the first frame end marker.
  std::string ReceiveFrame(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::string bytes;
    while (bytes.size() < 3 || bytes.compare(bytes.size() - 3, 3, "\r\v\r") != 0) {
      const std::string next = Receive(1, timeout);
      if (next.empty()) break;
      bytes += next;
    }
    return bytes;
  }

  void Close() { peer_.close(); }

private:
  static Poco::Timespan Span(std::chrono::milliseconds ms) {
    return Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(ms.count()) * 1000);
  }

  Poco::Net::ServerSocket listener_;
  Poco::Net::StreamSocket peer_;
};

} // namespace voxmit::test
