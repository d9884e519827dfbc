#pragma once
// A TCP server on 127.0.0.1 that speaks a line protocol from a script (the pattern of POCO's
// DialogServer): on each connection it sends a greeting, then answers every line it receives
// with what the script returns, and records the lines, so a test says what the peer answers
// and checks what it received. Connections are served one after another on the server's own
// thread; a client that goes silent is waited for until it closes or the server stops.
//
// Threads: the constructor, Port, Received and Connections on any thread; the script runs on
// the server's thread. The destructor stops the thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <Poco/Net/ServerSocket.h>

namespace voxmit::test {

class TScriptedLineServer {
public:
  struct TAnswer {
    std::string Text;    // sent as it is (give it its own line ends); empty: nothing is sent
    bool Close = false;  // close the connection once Text is out
  };
  // line: without its line end; connection: 0 for the first connection, and so on.
  using TScript = std::function<TAnswer(const std::string& line, size_t connection)>;

  // greeting is sent as it is on every connection (empty: nothing).
  TScriptedLineServer(std::string greeting, TScript script);
  ~TScriptedLineServer();
  TScriptedLineServer(const TScriptedLineServer&) = delete;
  TScriptedLineServer& operator=(const TScriptedLineServer&) = delete;

  uint16_t Port() const { return port_; }
  // The lines received, per connection in order.
  std::vector<std::vector<std::string>> Received() const;
  size_t Connections() const;

private:
  void Run();
  void Serve(Poco::Net::StreamSocket& socket, size_t connection);
  bool SendAll(Poco::Net::StreamSocket& socket, const std::string& text);

  const std::string greeting_;
  const TScript script_;
  Poco::Net::ServerSocket listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;  // guards received_
  std::vector<std::vector<std::string>> received_;
  std::thread thread_;
};

} // namespace voxmit::test
