#include "clients/TcpClient.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>

#include <Poco/Net/DNS.h>
#include <Poco/Net/HostEntry.h>
#include <Poco/Net/NetException.h>

#include "host/LogFile.h"
#include "host/ServerSettings.h"
#include "platform/RepeatLimiter.h"
#include "platform/TcpInfo.h"
#include "platform/ThreadRegistry.h"

namespace voxmit {

namespace {

// Keep-alive: first probe after a minute of silence, then every 10 s, given up after 6.
constexpr int kKeepAliveIdleSeconds = 60;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 6;
constexpr int kUserTimeoutMs = 60000;

// How long the read loop pauses while the queues it would feed are full.
constexpr int32_t kCongestionPauseMs = 20;

void SetSocketOption(Poco::Net::StreamSocket& socket, int level, int option, int value) {
  // Best effort: a socket without keep-alive still works.
  ::setsockopt(socket.impl()->sockfd(), level, option, &value, sizeof value);
}

void PrepareSocket(Poco::Net::StreamSocket& socket) {
  socket.setBlocking(true);
  socket.setSendTimeout(Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(
                                           TTcpClient::SendTimeoutMs.load()) *
                                       1000));
  SetSocketOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
  SetSocketOption(socket, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSeconds);
  SetSocketOption(socket, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSeconds);
  SetSocketOption(socket, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes);
  // Written data the peer never acknowledges (it vanished without FIN or RST) ends the
  // connection after this long instead of the kernel's 15 minutes of retries.
  SetSocketOption(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, kUserTimeoutMs);
  // Replies go out as they are queued. With Nagle's algorithm a reply written while the one
  // before is still unacknowledged waits for the client's delayed ACK (40 ms on Linux).
  SetSocketOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
}

// Errors of the connection threads and the refusals past MaxConnections: the same text from
// hundreds of connections at once (descriptors ran out) gives one line a second.
TNRepeatLimiter& ConnectionErrors() {
  static TNRepeatLimiter limiter;
  return limiter;
}

void LogLimited(const std::string& text) {
  if (const auto held = ConnectionErrors().Admit(text))
    LogMessage(text + TNRepeatLimiter::RepeatsText(*held));
}

void CloseQuietly(Poco::Net::StreamSocket& socket) {
  try {
    socket.close();
  } catch (const std::exception&) {
    // Closing a connection that failed cannot fail in a way that matters.
  }
}

} // namespace

// ---- TTcpConnections ------------------------------------------------------------------------

void TTcpConnections::Serve(Poco::Net::StreamSocket socket, const TSessionContext& context) {
  bool spawn = false;
  {
    std::lock_guard lock(mutex_);
    if (closed_) {
      CloseQuietly(socket);
      return;
    }
    const auto open = static_cast<int32_t>(clients_.size() + waiting_.size());
    if (open >= settings::MaxConnections) {
      // Closed before it costs a thread; the address is left out of the limiter's key, so a
      // crowd of clients still gives one line a second.
      CloseQuietly(socket);
      LogLimited("Listener: MaxConnections (" + std::to_string(settings::MaxConnections.load()) +
                 ") connections are open; a new connection was closed");
      return;
    }
    waiting_.push_back(TWaiting{std::move(socket), context});
    if (idle_ >= static_cast<int32_t>(waiting_.size())) {
      work_.notify_one();
    } else {
      ++threads_;
      spawn = true;
    }
  }
  if (!spawn) return;
  try {
    TNThreadRegistry::Instance().Spawn("ClientRead",
                                       [self = shared_from_this()] { self->Work(); });
  } catch (const std::exception& e) {
    // No thread could be made: the connection waits for the next thread that is free.
    {
      std::lock_guard lock(mutex_);
      --threads_;
    }
    LogLimited("Listener: no connection thread could be started: " + ErrorText(e));
  }
}

void TTcpConnections::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    const bool got = work_.wait_for(lock, std::chrono::milliseconds(kIdleThreadMs),
                                    [this] { return closed_ || !waiting_.empty(); });
    --idle_;
    if (!got || waiting_.empty()) break;  // idle too long, or the pool ends
    TWaiting next = std::move(waiting_.front());
    waiting_.pop_front();
    lock.unlock();
    ServeOne(std::move(next));
    lock.lock();
  }
  --threads_;
}

void TTcpConnections::ServeOne(TWaiting waiting) {
  try {
    auto client = std::make_shared<TTcpClient>(std::move(waiting.Socket),
                                               std::move(waiting.Context), shared_from_this());
    TNClientReadThread(std::move(client)).Execute();
  } catch (const std::exception& e) {
    LogLimited("TNClientReadThread, " + ErrorText(e));
  }
}

void TTcpConnections::DisconnectAll() {
  std::deque<TWaiting> refused;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    refused.swap(waiting_);
    for (TTcpClient* client : clients_) client->Disconnect();
  }
  work_.notify_all();
  for (TWaiting& w : refused) CloseQuietly(w.Socket);
}

int32_t TTcpConnections::Count() const {
  std::lock_guard lock(mutex_);
  return static_cast<int32_t>(clients_.size() + waiting_.size());
}

int32_t TTcpConnections::Threads() const {
  std::lock_guard lock(mutex_);
  return threads_;
}

void TTcpConnections::Add(TTcpClient* client) {
  std::lock_guard lock(mutex_);
  clients_.insert(client);
}

void TTcpConnections::Remove(TTcpClient* client) {
  std::lock_guard lock(mutex_);
  clients_.erase(client);
}

// ---- TTcpClient -----------------------------------------------------------------------------

TTcpClient::TTcpClient(Poco::Net::StreamSocket socket, TSessionContext context,
                       std::shared_ptr<TTcpConnections> connections)
    : TBaseClient(std::move(context)), socket_(std::move(socket)),
      connections_(std::move(connections)) {
  PrepareSocket(socket_);
  if (connections_) connections_->Add(this);
}

TTcpClient::~TTcpClient() {
  if (connections_) connections_->Remove(this);
  // The send thread calls SendText: it must end while this part of the object still exists.
  Logoff();
  CloseSocket();
}

int32_t TTcpClient::SendText(const std::string& text) {
  // MSG_NOSIGNAL: a peer that has gone makes the write fail instead of raising SIGPIPE.
  const int32_t n = socket_.sendBytes(text.data(), static_cast<int>(text.size()), MSG_NOSIGNAL);
  if (n > 0) bytesWritten_ += static_cast<uint64_t>(n);
  return n;
}

uint64_t TTcpClient::BytesAcknowledged() const {
  std::lock_guard lock(socketMutex_);
  if (!socketOpen_) return 0;
  const int64_t acknowledged = TcpBytesAcknowledged(socket_.impl()->sockfd());
  return acknowledged < 0 ? 0 : static_cast<uint64_t>(acknowledged);
}

void TTcpClient::Disconnect() {
  SetClosing();
  std::lock_guard lock(socketMutex_);
  if (!socketOpen_) return;
  // Shut down, not closed: the descriptor stays ours until the connection thread closes it,
  // so a thread still using it can never reach a descriptor reused for something else.
  ::shutdown(socket_.impl()->sockfd(), SHUT_RDWR);
}

void TTcpClient::CloseSocket() {
  std::lock_guard lock(socketMutex_);
  if (!socketOpen_) return;
  socketOpen_ = false;
  CloseQuietly(socket_);
}

std::string TTcpClient::GetIpAddress() const {
  try {
    return socket_.peerAddress().host().toString();
  } catch (const std::exception&) {
    return {};
  }
}

std::string TTcpClient::GetHostName() const {
  try {
    return Poco::Net::DNS::hostByAddress(socket_.peerAddress().host()).name();
  } catch (const std::exception&) {
    return {};
  }
}

// ---- TNClientReadThread ---------------------------------------------------------------------

TNClientReadThread::TNClientReadThread(std::shared_ptr<TTcpClient> client)
    : client_(std::move(client)) {}

void TNClientReadThread::Execute() {
  while (!client_->Closing()) {
    try {
      if (Congested()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kCongestionPauseMs));
        continue;
      }
      if (LogonOverdue()) {
        LogMessage("TNClientReadThread, no logon from " + client_->GetIpAddress() +
                   " in time, connection closed");
        client_->Disconnect();
        break;
      }
      if (!WaitForInput()) continue;
      if (!ReadChunk()) break;
    } catch (const std::exception& e) {
      // One bad request or a socket hiccup must not end the connection's thread; an error
      // that repeats (descriptors ran out) must not spin it either.
      LogLimited("TNClientReadThread, " + ErrorText(e));
      std::this_thread::sleep_for(std::chrono::milliseconds(kErrorPauseMs));
    }
  }
  client_->Logoff();
  client_->CloseSocket();
}

bool TNClientReadThread::WaitForInput() {
  // A plain poll: POCO's socket poll makes an epoll descriptor for every wait, which fails
  // (and spins) once the process has no descriptor left.
  pollfd p{client_->Socket().impl()->sockfd(), POLLIN, 0};
  const int r = ::poll(&p, 1, settings::ThreadWaitLoopTimeout.load());
  if (r < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "poll");
  return r > 0;
}

bool TNClientReadThread::LogonOverdue() const {
  if (client_->LoggedOn()) return false;
  const auto waited = std::chrono::steady_clock::now() - connected_;
  return waited > std::chrono::milliseconds(LogonTimeoutMs.load());
}

bool TNClientReadThread::Congested() const {
  if (TReplyMessageList* replies = client_->ReplyList()) {
    TNReadLock lock(replies->Lock());
    if (replies->Count() > kMaxQueuedEntries) return true;
  }
  TInputMessageQueue* input = client_->InputQueue();
  if (!input) return false;
  // Only this session's own entries count: a client that floods pauses itself, not the others.
  const TBaseClient* owner = client_.get();
  TNReadLock lock(input->Lock());
  return input->CountOf(owner) > input->Share(owner);
}

bool TNClientReadThread::ReadChunk() {
  int received = 0;
  bool failed = false;
  try {
    received = client_->Socket().receiveBytes(chunk_, kChunkSize);
  } catch (const std::exception&) {
    received = 0;
    failed = true;
  }
  if (received > 0) {
    // A zero byte ends the chunk: it and what follows it in this read are dropped.
    const size_t length = ::strnlen(chunk_, static_cast<size_t>(received));
    pending_.append(chunk_, length);
    client_->ProcessInput(pending_);
    if (length < static_cast<size_t>(received)) DropCutFrame();
    return true;
  }
  char peek[6];
  const int peeked =
      failed ? -1 : ::recv(client_->Socket().impl()->sockfd(), peek, sizeof peek,
                           MSG_PEEK | MSG_DONTWAIT);
  if (failed || peeked == 0) {
    client_->Disconnect();
    return false;
  }
  return true;
}

void TNClientReadThread::DropCutFrame() {
  // The frame the zero byte stands in lost its end with the rest of the read; kept, its start
  // marker would pair with the end marker of the client's next frame and swallow that too.
  if (pending_.compare(0, FrameStart.size(), FrameStart) == 0)
    LogMessage("TNClientReadThread, a zero byte cut a request from " + client_->GetIpAddress() +
               ", request dropped");
  pending_.clear();
}

void StartClientConnection(Poco::Net::StreamSocket socket, const TSessionContext& context,
                           const std::shared_ptr<TTcpConnections>& connections) {
  connections->Serve(std::move(socket), context);
}

} // namespace voxmit
