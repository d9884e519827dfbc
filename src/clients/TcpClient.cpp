#include "clients/TcpClient.h"

#include <cstring>
#include <exception>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>

#include <Poco/Net/DNS.h>
#include <Poco/Net/HostEntry.h>
#include <Poco/Net/NetException.h>

#include "host/LogFile.h"
#include "host/ServerSettings.h"
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

} // namespace

// ---- TTcpConnections ------------------------------------------------------------------------

void TTcpConnections::DisconnectAll() {
  std::lock_guard lock(mutex_);
  for (TTcpClient* client : clients_) client->Disconnect();
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
  try {
    socket_.close();
  } catch (const std::exception&) {
    // Closing a connection that failed cannot fail in a way that matters.
  }
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
      // One bad request or a socket hiccup must not end the connection's thread.
      LogMessage("TNClientReadThread, " + ErrorText(e));
    }
  }
  client_->Logoff();
  client_->CloseSocket();
}

bool TNClientReadThread::WaitForInput() {
  const Poco::Timespan slice(static_cast<Poco::Timespan::TimeDiff>(
                                 settings::ThreadWaitLoopTimeout.load()) *
                             1000);
  return client_->Socket().poll(slice, Poco::Net::Socket::SELECT_READ |
                                           Poco::Net::Socket::SELECT_ERROR);
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
  TNReadLock lock(input->Lock());
  return input->Count() > kMaxQueuedEntries;
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
  auto client = std::make_shared<TTcpClient>(std::move(socket), context, connections);
  auto thread = std::make_shared<TNClientReadThread>(std::move(client));
  TNThreadRegistry::Instance().Spawn("ClientRead", [thread] { thread->Execute(); });
}

} // namespace voxmit
