#pragma once
// The client listener. Activate binds and listens on the port (UI thread); a listener thread
// accepts connections and hands each to the connection handler, which passes it on to a
// connection thread without waiting for one (TTcpConnections::Serve). A failed accept is
// retried after a pause, and a failure that repeats is logged once a second with a count.
// Deactivate stops accepting and closes the socket (UI thread). Connections already handed on
// are not touched: their sessions end them.
//
// Ownership: one per process, created at process start and passed to the start sequence,
// which sets the port and the handler of each run and activates it. SetPort and
// SetConnectionHandler run on the UI thread while the listener is not active.

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>

#include "platform/TNThread.h"

namespace voxmit {

// A failure of the socket layer, with the text shown to the operator:
// "Socket error: <text> (<code>), on API '<api>'".
class TSocketError : public std::runtime_error {
public:
  TSocketError(int code, const std::string& api);
  int Code() const { return code_; }
private:
  int code_;
};

class TDMComps {
public:
  using TConnectionHandler = std::function<void(Poco::Net::StreamSocket)>;

  TDMComps();
  ~TDMComps();
  TDMComps(const TDMComps&) = delete;
  TDMComps& operator=(const TDMComps&) = delete;

  void SetPort(int port) { port_ = port; }
  int Port() const { return port_; }
  // The port actually bound (differs from Port() when Port() is 0).
  int BoundPort() const { return boundPort_; }
  // Runs on the listener thread for each accepted connection (ServerSocketGetThread). Without
  // a handler a connection is closed at once.
  void SetConnectionHandler(TConnectionHandler handler) { handler_ = std::move(handler); }

  // Throws TSocketError when the port is outside 1 to 65535 or cannot be bound or listened on
  // (it is never shared: no SO_REUSEPORT).
  void Activate();
  void Deactivate();
  bool Active() const { return active_; }

private:
  void AcceptLoop();

  int port_ = 215;
  int boundPort_ = 0;
  TConnectionHandler handler_;
  std::unique_ptr<Poco::Net::ServerSocket> socket_;
  std::atomic<bool> active_{false};
  TNThread acceptThread_;  // last: it ends before the members it uses go
};

} // namespace voxmit
