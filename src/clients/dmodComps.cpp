#include "clients/dmodComps.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>

#include "host/LogFile.h"
#include "platform/RepeatLimiter.h"

namespace voxmit {

namespace {

std::string SocketErrorText(int code, const std::string& api) {
  return "Socket error: " + std::string(std::strerror(code)) + " (" + std::to_string(code) +
         "), on API '" + api + "'";
}

// Poll slice of the accept loop: how quickly Deactivate is noticed.
constexpr int kAcceptPollMs = 200;
// After a failed accept: the connection is still pending (descriptors ran out, say), and an
// immediate retry would fail the same way at full speed.
constexpr int32_t kAcceptRetryPauseMs = 100;

// Whether the listening descriptor has a connection waiting, within the slice. A plain poll:
// it needs no descriptor of its own, so it works when the process has none left.
bool ConnectionPending(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  const int r = ::poll(&p, 1, timeoutMs);
  if (r < 0 && errno != EINTR) throw TSocketError(errno, "poll");
  return r > 0;
}
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
  TNRepeatLimiter limiter;
  const int fd = socket_->impl()->sockfd();
  while (!acceptThread_.StopRequested()) {
    try {
      if (!ConnectionPending(fd, kAcceptPollMs)) continue;
      Poco::Net::StreamSocket connection = socket_->acceptConnection();
      if (handler_)
        handler_(std::move(connection));
      else
        connection.close();
    } catch (const std::exception& e) {
      // One failed accept (the peer gave up, descriptors ran out) must not end the listener;
      // a failure that repeats gives one line a second and a pause before each retry.
      const std::string text = "Listener: " + ErrorText(e);
      if (const auto held = limiter.Admit(text))
        LogMessage(text + TNRepeatLimiter::RepeatsText(*held));
      acceptThread_.StopEvent().Wait(kAcceptRetryPauseMs);
    }
  }
}

} // namespace voxmit
