#pragma once
// A client served over TCP: TNClientReadThread runs on a connection thread of the run's pool
// (TTcpConnections::Serve hands each accepted connection on); it reads the bytes, feeds them
// to its TTcpClient session and, when the connection ends, logs the session off.
//
// The read loop: wait up to ThreadWaitLoopTimeout for data (a plain poll on the socket, which
// needs no descriptor of its own); read up to 2048 bytes; a zero byte cuts the chunk (it and
// what follows it in the same read are dropped); the pending input goes to ProcessInput. After
// a chunk cut by a zero byte, what is left pending (the frame the zero byte stands in, which
// can no longer end) is dropped too, so the client's later frames are read as usual. A read
// that yields nothing is followed by a peek: a failed read or a connection closed by the peer
// disconnects the session; a peek error alone does not. A pass that fails (an error caught at
// the loop) pauses kErrorPauseMs before the next, and an error that repeats across the
// connections is logged once a second with a count.
//
// Bounds: a connection that has not logged on within LogonTimeoutMs is closed, so idle
// connections cannot pile up threads; while the session's reply list holds more than
// kMaxQueuedEntries, or the server's input queue holds more of its entries than its share
// (TInputMessageQueue::Share), the thread stops reading, so the client's own writes block
// (TCP flow control) instead of the server's memory growing; other sessions read on. A write
// that the client does not take within SendTimeoutMs fails, which ends the session.
// Keep-alive probes find peers that vanished without closing. At most
// settings::MaxConnections connections are served at once; the listener's hand-off closes any
// beyond at once.
//
// Threads: the socket is closed by the connection thread alone, after Logoff (so after the
// send thread has ended). Disconnect may be called from any thread: it shuts the socket down,
// which wakes the read loop and any blocked write; socketMutex_ guards the shutdown against
// the close.
//
// Ownership: every session of a server run is listed in the run's TTcpConnections while it
// exists (logged on or not), so that the stop reaches connections that never logged on.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <Poco/Net/StreamSocket.h>

#include "clients/BaseClient.h"

namespace voxmit {

class TTcpClient;

// The TCP sessions of one server run and the pool of connection threads that serve them.
// Shared (std::shared_ptr) by the run, the listener's handler, the pool's threads and the
// sessions; safe from any thread (mutex_ guards clients_, waiting_, idle_, threads_ and
// closed_). A session enters when it is created and leaves when it is destroyed.
//
// Serve hands an accepted connection to an idle pool thread, or starts a new one when none is
// idle; it never waits for a thread. A pool thread serves one connection after the other and
// ends after kIdleThreadMs without work. The threads are registered (TNThreadRegistry), so the
// stop's wait for self-ending threads covers them.
class TTcpConnections : public std::enable_shared_from_this<TTcpConnections> {
public:
  // How long an idle pool thread waits for the next connection before it ends.
  static constexpr int32_t kIdleThreadMs = 10000;

  TTcpConnections() = default;
  TTcpConnections(const TTcpConnections&) = delete;
  TTcpConnections& operator=(const TTcpConnections&) = delete;

  // Listener thread: gives the connection a session of the run that context belongs to, on a
  // pool thread. Past settings::MaxConnections (sessions and connections waiting for a thread)
  // the connection is closed at once and logged; after DisconnectAll it is closed at once.
  void Serve(Poco::Net::StreamSocket socket, const TSessionContext& context);
  // Asks every listed session to disconnect, logged on or not, closes the connections still
  // waiting for a thread and ends the pool: idle threads end, later connections are refused.
  void DisconnectAll();
  // Sessions and connections waiting for a thread.
  int32_t Count() const;
  // Pool threads alive (serving or idle).
  int32_t Threads() const;

private:
  friend class TTcpClient;
  struct TWaiting {
    Poco::Net::StreamSocket Socket;
    TSessionContext Context;
  };

  void Add(TTcpClient* client);
  void Remove(TTcpClient* client);
  // A pool thread's body.
  void Work();
  void ServeOne(TWaiting waiting);

  mutable std::mutex mutex_;
  std::condition_variable work_;
  std::set<TTcpClient*> clients_;
  std::deque<TWaiting> waiting_;
  int32_t idle_ = 0;
  int32_t threads_ = 0;
  bool closed_ = false;
};

class TTcpClient : public TBaseClient {
public:
  // Milliseconds a write may stay blocked before the session is given up. Any thread; read
  // when a connection starts.
  static inline std::atomic<int32_t> SendTimeoutMs{30000};

  // connections may be nullptr (a session tested on its own).
  TTcpClient(Poco::Net::StreamSocket socket, TSessionContext context,
             std::shared_ptr<TTcpConnections> connections = nullptr);
  ~TTcpClient() override;

  // Send thread (and the connection thread for the logon denial).
  int32_t SendText(const std::string& text) override;
  bool StreamsReplies() const override { return true; }
  uint64_t BytesWritten() const override { return bytesWritten_; }
  // What the peer's TCP acknowledged (TCP_INFO), also after the connection failed, until the
  // socket is closed; 0 when it cannot be read.
  uint64_t BytesAcknowledged() const override;
  void Disconnect() override;
  std::string GetIpAddress() const override;
  std::string GetHostName() const override;

  // Connection thread, once the session is logged off.
  void CloseSocket();
  Poco::Net::StreamSocket& Socket() { return socket_; }

private:
  Poco::Net::StreamSocket socket_;
  const std::shared_ptr<TTcpConnections> connections_;
  mutable std::mutex socketMutex_;
  bool socketOpen_ = true;  // guarded by socketMutex_
  std::atomic<uint64_t> bytesWritten_{0};
};

class TNClientReadThread {
public:
  static constexpr int kChunkSize = 2048;
  static constexpr int32_t kMaxQueuedEntries = 1000;
  // The pause after a pass of the read loop that failed.
  static constexpr int32_t kErrorPauseMs = 100;
  // Milliseconds a connection may stay without a logon. Any thread; read by each loop pass.
  static inline std::atomic<int32_t> LogonTimeoutMs{60000};

  explicit TNClientReadThread(std::shared_ptr<TTcpClient> client);
  TNClientReadThread(const TNClientReadThread&) = delete;
  TNClientReadThread& operator=(const TNClientReadThread&) = delete;

  // Runs the connection to its end on the calling thread (ClientExecute).
  void Execute();

private:
  bool WaitForInput();
  bool LogonOverdue() const;
  bool Congested() const;
  // Reads one chunk into the pending input; false when the connection is over.
  bool ReadChunk();
  // After a chunk cut by a zero byte: drops the pending input.
  void DropCutFrame();

  std::shared_ptr<TTcpClient> client_;
  const std::chrono::steady_clock::time_point connected_ = std::chrono::steady_clock::now();
  std::string pending_;
  char chunk_[kChunkSize];
};

// The listener's connection handler: hands the accepted connection to the connections of the
// run that context belongs to (TTcpConnections::Serve).
void StartClientConnection(Poco::Net::StreamSocket socket, const TSessionContext& context,
                           const std::shared_ptr<TTcpConnections>& connections);

} // namespace voxmit
