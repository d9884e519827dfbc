#pragma once
// An HTTP server on 127.0.0.1 for the gateway carriers' tests and benchmarks. It reads each
// request with POCO's server-side message parser (request line, headers, a body of
// Content-Length bytes), records it as received, and then does what the test scripted for
// that request: answer with a status after an optional delay, hold the connection without a
// word, close it, or answer with garbage or over-long lines.
//
//   FakeHttpServer server;
//   server.SetScript({FakeHttpServer::Answer(200), FakeHttpServer::Answer(500)});
//   ... the client under test talks to 127.0.0.1:server.Port() ...
//   server.WaitForRequests(2);
//   server.Requests()[1].Target;   // "//wctp/", exactly as it stood in the request line
//
// A connection that closes before it sends a request (a reachability probe) counts as a
// connection but takes no step of the script. One request per connection.
//
// Threads: POCO's TCPServer accepts and hands each connection to a thread of the server's own
// pool; every public member is safe from any thread. A connection's socket is closed only once
// its handler has returned, so Stop (also run by the destructor) may shut down every socket it
// finds registered, then stops the server and joins the pool.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>

namespace Poco {
class ThreadPool;
namespace Net {
class TCPServer;
}
} // namespace Poco

namespace voxmit::test {

class FakeHttpServer {
public:
  enum class TAct {
    Answer,              // the step's status (and the server's body), after the server's delay
    Hold,                // never answer; the connection stays open until the client or Stop ends it
    Close,               // close without a word
    HalfAnswer,          // "HTTP/1.1 200" and close
    Garbage,             // bytes that are no HTTP answer, then hold
    OverlongStatusLine,  // "HTTP/1.1 200 " and 100 000 letters without a line end, then hold
    OverlongHeader,      // a good status line and a header line of 1 MB, then hold
  };
  struct TStep {
    TAct Act = TAct::Answer;
    int Status = 200;
  };
  static TStep Answer(int status) { return {TAct::Answer, status}; }
  static TStep Do(TAct act) { return {act, 200}; }

  struct TRequest {
    std::string Method;
    std::string Target;  // as it stood in the request line
    std::string Version;
    std::vector<std::pair<std::string, std::string>> Headers;
    std::string Body;
    // The first header of that name (any case), or "".
    std::string Header(const std::string& name) const;
  };

  FakeHttpServer();
  ~FakeHttpServer();
  FakeHttpServer(const FakeHttpServer&) = delete;
  FakeHttpServer& operator=(const FakeHttpServer&) = delete;

  uint16_t Port() const { return port_; }

  // What to do after request n (from 0); the last step repeats. Default: Answer(200).
  void SetScript(std::vector<TStep> steps);
  // The body of every answer (default empty) and how long each answer waits (default none).
  void SetBody(std::string body);
  void SetDelay(std::chrono::microseconds delay);

  std::vector<TRequest> Requests() const;
  size_t RequestCount() const;
  // Accepted connections, probes without a request included.
  size_t Connections() const;
  bool WaitForRequests(size_t count,
                       std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;
  // Connections currently held open by a Hold (or a hold after garbage).
  size_t Holding() const;
  // The answered requests, and the time the server spent on them in all: from the end of each
  // request to the end of its answer (the delay included).
  size_t Answered() const;
  std::chrono::nanoseconds AnswerTime() const;

  void Stop();

private:
  class TConnection;
  class TFactory;

  // One connection, on a thread of the pool: registered in live_ while it is served.
  void Serve(Poco::Net::StreamSocket& socket);
  void ServeRegistered(Poco::Net::StreamSocket& socket);
  // Reads one request; false when the client closed or sent no valid request.
  bool ReadRequest(Poco::Net::StreamSocket& socket, TRequest& request);
  TStep StepFor(size_t index) const;
  void Act(Poco::Net::StreamSocket& socket, const TStep& step);
  void SendAll(Poco::Net::StreamSocket& socket, const std::string& bytes);
  // Keeps the connection until the client closes it or Stop.
  void Hold(Poco::Net::StreamSocket& socket);
  // Waits until Stop or the time has passed; false on Stop.
  bool Sleep(std::chrono::microseconds time);

  Poco::Net::ServerSocket listener_;
  uint16_t port_ = 0;
  std::unique_ptr<Poco::ThreadPool> pool_;
  std::unique_ptr<Poco::Net::TCPServer> server_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;  // a request arrived
  std::condition_variable stop_;              // Stop: ends every delay at once
  bool stopping_ = false;
  bool stopped_ = false;
  std::vector<TStep> script_{Answer(200)};
  std::string body_;
  std::chrono::microseconds delay_{0};
  std::vector<TRequest> requests_;
  size_t connections_ = 0;
  size_t holding_ = 0;
  size_t answered_ = 0;
  std::chrono::nanoseconds answerTime_{0};
  std::set<Poco::Net::StreamSocket*> live_;  // the sockets of the running handlers
};

} // namespace voxmit::test
