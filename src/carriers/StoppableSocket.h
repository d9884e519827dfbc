#pragma once
// The TCP socket under the SMTP and SNPP clients: POCO's protocol classes (SMTPClientSession,
// DialogSocket) run on it unchanged, while every wait it makes is bounded and stoppable.
//
//   - Connecting, sending and each reply are bounded by one time-out: a reply must have come
//     in full within timeoutMs of the command that asked for it (the greeting within timeoutMs
//     of the connect), however slowly a peer drips it.
//   - A reply may hold at most MaxReplyBytes; a peer streaming one endless line is cut off.
//   - A read after the peer closed the connection throws instead of reporting the end again
//     (a caller that loops for the rest of a reply would otherwise spin).
//   - Writes never raise SIGPIPE.
//   - Setting the stop event ends any wait at once with TStoppedException. The event is the
//     only thing another thread touches, so stopping never races with the worker's own close
//     of the socket.
//
// Threads: a socket belongs to one thread (a channel's worker); the stop event may be set from
// any thread. The socket object is reference counted by POCO and shared by every Socket copy
// that wraps it.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/StreamSocketImpl.h>

#include "platform/TNEvent.h"

namespace voxmit {

// The wait ended because the stop event was set.
POCO_DECLARE_EXCEPTION(, TStoppedException, Poco::Net::NetException)

class TStoppableSocketImpl : public Poco::Net::StreamSocketImpl {
public:
  // The most bytes one reply may hold (SMTP and SNPP replies are a few hundred bytes).
  static constexpr size_t MaxReplyBytes = 64 * 1024;

  TStoppableSocketImpl(Poco::Net::SocketAddress::Family family,
                       std::shared_ptr<const TNEvent> stop, int32_t timeoutMs);

  // Connects within the time-out; throws the POCO exception of the failure, TStoppedException
  // on a stop, Poco::TimeoutException when the time ran out.
  void ConnectWithin(const Poco::Net::SocketAddress& address);

  int sendBytes(const void* buffer, int length, int flags = 0) override;
  int receiveBytes(void* buffer, int length, int flags = 0) override;
  using Poco::Net::StreamSocketImpl::receiveBytes;
  using Poco::Net::StreamSocketImpl::sendBytes;

protected:
  // Reference counted: released by the last Socket that wraps it.
  ~TStoppableSocketImpl() override = default;

private:
  using TClock = std::chrono::steady_clock;

  // Waits until the socket reports one of events (or an error or hang-up), the stop event is
  // set (throws TStoppedException) or the deadline passes (throws Poco::TimeoutException).
  void WaitFor(short events) const;
  void StartExchange();

  const std::shared_ptr<const TNEvent> stop_;
  const int32_t timeoutMs_;
  TClock::time_point deadline_;
  size_t replyBytes_ = 0;  // received since the last send
  bool ended_ = false;     // the peer has closed its side
};

// Resolves host, connects to port within timeoutMs and returns the connected socket, whose
// every later wait is bounded by timeoutMs and ended by stop. Name resolution itself is not
// stoppable: it is bounded by the resolver's own time-outs. Throws Poco::Exception.
Poco::Net::StreamSocket ConnectStoppable(const std::string& host, uint16_t port,
                                         int32_t timeoutMs, std::shared_ptr<const TNEvent> stop);

} // namespace voxmit
