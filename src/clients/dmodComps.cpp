#include "clients/dmodComps.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>

#include "host/LogFile.h"

namespace voxmit {

namespace {

std::string SocketErrorText(int code, const std::string& api) {
  return "Socket error: " + std::string(std::strerror(code)) + " (" + std::to_string(code) +
         "), on API '" + api + "'";
}

// Poll slice of the accept loop: how quickly Deactivate is noticed.
constexpr long kAcceptPollMicroseconds = 200000;
} // namespace

TSocketError::TSocketError(int code, const std::string& api)
    : std::runtime_error(SocketErrorText(code, api)), code_(code) {}

TDMComps::TDMComps() = default;

TDMComps::~TDMComps() { Deactivate(); }

void TDMComps::Activate() {
  if (active_) return;
  // A port outside the TCP range would wrap (70000 is 4464) or pick a random port (0).
  if (port_ < 1 || port_ > 65535) throw TSocketError(EINVAL, "bind");
  auto socket = std::make_unique<Poco::Net::ServerSocket>();
  const char* api = "bind";
  try {
    // Address reuse only: with SO_REUSEPORT a second server, or any process of this user,
    // could listen on the same port and take a share of the clients.
    socket->bind(Poco::Net::SocketAddress("0.0.0.0", static_cast<uint16_t>(port_)), true, false);
    api = "listen";
    socket->listen(SOMAXCONN);
  } catch (const Poco::Exception& e) {
    throw TSocketError(e.code() != 0 ? e.code() : EINVAL, api);
  }
  boundPort_ = socket->address().port();
  socket_ = std::move(socket);
  acceptThread_.Start([this] { AcceptLoop(); });
  active_ = true;
}

void TDMComps::Deactivate() {
  if (!active_.exchange(false)) return;
  acceptThread_.Terminate();
  acceptThread_.WaitFor();
  socket_->close();
  socket_.reset();
}

void TDMComps::AcceptLoop() {
  const Poco::Timespan slice(0, kAcceptPollMicroseconds);
  while (!acceptThread_.StopRequested()) {
    try {
      if (!socket_->poll(slice, Poco::Net::Socket::SELECT_READ)) continue;
      Poco::Net::StreamSocket connection = socket_->acceptConnection();
      if (handler_)
        handler_(std::move(connection));
      else
        connection.close();
    } catch (const std::exception& e) {
      // One failed accept (the peer gave up, descriptors ran out) must not end the listener.
      LogMessage(std::string("Listener: ") + e.what());
    }
  }
}

} // namespace voxmit
