#pragma once
// What the two HTTP gateway carriers (WCTP and MSG) share: the reading of their carrier
// settings, and a small HTTP client whose every exchange is bounded by time-outs and can be
// cut short from another thread.
//
// ParseGatewaySettings is a pure function, callable from any thread.
//
// THttpGatewayClient belongs to one channel. Its worker thread calls Probe, Get, Post and
// Close; Abort may come from any thread at any time (the channel's OnClose). Every exchange
// opens a connection of its own and closes it again before it returns, so between calls no
// connection is open. mutex_ guards aborted_ and abortFd_: abortFd_ is a duplicate of the
// descriptor of the socket in use, made before the connect starts and closed only by the
// worker under the lock, so Abort's shutdown always reaches the right socket (POCO may close
// its own descriptor at any moment, and a closed number can be reused at once by another
// socket of the process).
//
// Writes use MSG_NOSIGNAL: a peer that has gone makes the write fail instead of raising
// SIGPIPE, which would end the process.

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace Poco::Net {
class HTTPRequest;
class SocketAddress;
class StreamSocket;
} // namespace Poco::Net

namespace voxmit {

// The carrier settings of a gateway carrier: "URL,port,MaxMessageLength".
struct TGatewaySettings {
  std::string Host;
  std::string Port;  // decimal text
  std::string Path;
  int32_t MaxMessageLength = 0;
};

// The longest part when the settings give no integer: no splitting.
inline constexpr int32_t kNoSplitLength = 2147483647;

// Reads "URL,port,MaxMessageLength" (each item trimmed) into into. The URL's host replaces
// into.Host when the URL names one (a URL without "://" names none, and the host there stays);
// its path becomes into.Path, defaultPath when empty; an empty port is "80"; a length that is
// no integer is kNoSplitLength. False, and into unchanged, unless there are exactly three
// items.
bool ParseGatewaySettings(std::string_view text, std::string_view defaultPath,
                          TGatewaySettings& into);

class THttpGatewayClient {
public:
  THttpGatewayClient();
  ~THttpGatewayClient();
  THttpGatewayClient(const THttpGatewayClient&) = delete;
  THttpGatewayClient& operator=(const THttpGatewayClient&) = delete;

  // Opens a TCP connection to host:port within timeoutMs and closes it again; nothing is sent.
  // Throws Poco::Exception when the host is unknown, the connection is refused or not made in
  // time, or the client was aborted.
  void Probe(const std::string& host, uint16_t port, int32_t timeoutMs);

  // One request on a connection of its own: connects within timeoutMs, sends the request,
  // reads the answer's status line and headers (each read and write bounded by timeoutMs) and
  // closes the connection; the answer's body is not read. Returns the status code; redirects
  // are not followed. Throws Poco::Exception on a network failure, a time-out, a malformed
  // answer or an abort. target is sent as it is.
  int Get(const std::string& host, uint16_t port, const std::string& target, int32_t timeoutMs);
  int Post(const std::string& host, uint16_t port, const std::string& target,
           const std::string& body, const std::string& contentType, int32_t timeoutMs);

  // Worker: closes a connection left open (none is, between calls). Never throws; false when
  // closing failed.
  bool Close();

  // Any thread: shuts the socket in use down, so that a connect, read or write in progress
  // ends at once; every later call fails at once. Quick, never throws.
  void Abort();
  bool Aborted() const;

private:
  class TSession;

  int Exchange(const std::string& host, uint16_t port, Poco::Net::HTTPRequest& request,
               const std::string& body, int32_t timeoutMs);
  // A socket connected to address within timeoutMs, blocking, with timeoutMs as its read and
  // write time-out; its duplicate is kept in abortFd_ until ReleaseSocket.
  Poco::Net::StreamSocket OpenSocket(const Poco::Net::SocketAddress& address, int32_t timeoutMs);
  void ReleaseSocket();
  void ThrowIfAborted() const;

  mutable std::mutex mutex_;
  bool aborted_ = false;
  int abortFd_ = -1;
};

} // namespace voxmit
