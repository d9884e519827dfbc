#include "carriers/StoppableSocket.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <typeinfo>

#include <Poco/Exception.h>
#include <Poco/Format.h>

namespace voxmit {

POCO_IMPLEMENT_EXCEPTION(TStoppedException, Poco::Net::NetException, "Stopped")

TStoppableSocketImpl::TStoppableSocketImpl(Poco::Net::SocketAddress::Family family,
                                           std::shared_ptr<const TNEvent> stop, int32_t timeoutMs)
    : Poco::Net::StreamSocketImpl(family),
      stop_(std::move(stop)),
      timeoutMs_(timeoutMs),
      deadline_(TClock::now() + std::chrono::milliseconds(timeoutMs)) {}

void TStoppableSocketImpl::StartExchange() {
  deadline_ = TClock::now() + std::chrono::milliseconds(timeoutMs_);
  replyBytes_ = 0;
}

void TStoppableSocketImpl::WaitFor(short events) const {
  // A closed socket would be skipped by poll, which would then wait out the whole time.
  if (sockfd() == POCO_INVALID_SOCKET) throw Poco::Net::InvalidSocketException();
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ -
                                                                            TClock::now());
    if (left.count() <= 0)
      throw Poco::TimeoutException(Poco::format("no answer within %d ms", timeoutMs_));
    pollfd fds[2] = {{sockfd(), events, 0}, {stop_ ? stop_->Fd() : -1, POLLIN, 0}};
    const int ready = ::poll(fds, 2, static_cast<int>(left.count()) + 1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      error(errno);
    }
    if (fds[1].revents != 0) throw TStoppedException("the channel is closing");
    if (fds[0].revents != 0) return;
  }
}

void TStoppableSocketImpl::ConnectWithin(const Poco::Net::SocketAddress& address) {
  StartExchange();
  connectNB(address);  // non-blocking from here on: every wait goes through WaitFor
  WaitFor(POLLOUT);
  if (const int err = socketError(); err != 0) error(err, address.toString());
  // A dialogue of short commands: a command written in two pieces (a mail's last line and its
  // "." line) must not wait for the peer's delayed acknowledgement of the first.
  setNoDelay(true);
  StartExchange();  // the greeting gets a whole time-out of its own
}

int TStoppableSocketImpl::sendBytes(const void* buffer, int length, int flags) {
  StartExchange();
  const char* bytes = static_cast<const char*>(buffer);
  int sent = 0;
  while (sent < length) {
    WaitFor(POLLOUT);
    const ssize_t n = ::send(sockfd(), bytes + sent, static_cast<size_t>(length - sent),
                             flags | MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      error(errno);
    }
    sent += static_cast<int>(n);
  }
  StartExchange();  // the reply's time starts once the command is out
  return sent;
}

int TStoppableSocketImpl::receiveBytes(void* buffer, int length, int flags) {
  if (ended_) throw Poco::Net::ConnectionResetException("the peer closed the connection");
  if (replyBytes_ >= MaxReplyBytes)
    throw Poco::Net::NetException(Poco::format("reply longer than %z bytes", MaxReplyBytes));
  for (;;) {
    WaitFor(POLLIN);
    const ssize_t n = ::recv(sockfd(), buffer, static_cast<size_t>(length), flags | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      error(errno);
    }
    if (n == 0) ended_ = true;
    replyBytes_ += static_cast<size_t>(n);
    return static_cast<int>(n);
  }
}

Poco::Net::StreamSocket ConnectStoppable(const std::string& host, uint16_t port,
                                         int32_t timeoutMs, std::shared_ptr<const TNEvent> stop) {
  const Poco::Net::SocketAddress address(host, port);
  // POCO's socket classes take ownership of their implementation and count its references.
  auto* impl = new TStoppableSocketImpl(address.family(), std::move(stop), timeoutMs);
  Poco::Net::StreamSocket socket(impl);
  impl->ConnectWithin(address);
  return socket;
}

} // namespace voxmit
