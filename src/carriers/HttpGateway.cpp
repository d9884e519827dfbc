#include "carriers/HttpGateway.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <ostream>
#include <vector>

#include <Poco/Error.h>
#include <Poco/Exception.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include "channels/BaseChannel.h"
#include "channels/ChannelINet.h"
#include "common/CommaText.h"

namespace voxmit {

bool ParseGatewaySettings(std::string_view text, std::string_view defaultPath,
                          TGatewaySettings& into) {
  const std::vector<std::string> items = SplitCommaText(text);
  if (items.size() != 3) return false;
  const TGatewayUrl url = SplitGatewayUrl(TrimControls(items[0]));
  if (!url.Host.empty()) into.Host = url.Host;
  into.Path = url.Path.empty() ? std::string(defaultPath) : url.Path;
  into.Port = TrimControls(items[1]);
  if (into.Port.empty()) into.Port = "80";
  if (!CommaFieldToInt(items[2], into.MaxMessageLength)) into.MaxMessageLength = kNoSplitLength;
  return true;
}

// ---- THttpGatewayClient -----------------------------------------------------------------------

namespace {

// How often a connect in progress looks whether the client was aborted. Abort's shutdown
// normally ends the wait at once; the slices only make sure of it.
constexpr int32_t kConnectSliceMs = 100;

Poco::Timespan Milliseconds(int32_t ms) {
  return Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(std::max(ms, 1)) * 1000);
}

} // namespace

// An HTTP client session whose connection the gateway client makes (bounded, abortable) and
// whose writes never raise SIGPIPE.
class THttpGatewayClient::TSession : public Poco::Net::HTTPClientSession {
public:
  TSession(THttpGatewayClient& owner, const std::string& host, uint16_t port, int32_t timeoutMs)
      : HTTPClientSession(host, port), owner_(owner), timeoutMs_(timeoutMs) {
    setKeepAlive(false);
  }

protected:
  void connect(const Poco::Net::SocketAddress& address) override {
    attachSocket(owner_.OpenSocket(address, timeoutMs_));
  }

  int write(const char* buffer, std::streamsize length) override {
    try {
      return socket().sendBytes(buffer, static_cast<int>(length), MSG_NOSIGNAL);
    } catch (const Poco::Exception& e) {
      setException(e);
      throw;
    }
  }

private:
  THttpGatewayClient& owner_;
  const int32_t timeoutMs_;
};

THttpGatewayClient::THttpGatewayClient() = default;

THttpGatewayClient::~THttpGatewayClient() { ReleaseSocket(); }

void THttpGatewayClient::ThrowIfAborted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (aborted_) throw Poco::Net::NetException("the channel is closing");
}

bool THttpGatewayClient::Aborted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return aborted_;
}

void THttpGatewayClient::Abort() {
  std::lock_guard<std::mutex> lock(mutex_);
  aborted_ = true;
  if (abortFd_ >= 0) ::shutdown(abortFd_, SHUT_RDWR);
}

void THttpGatewayClient::ReleaseSocket() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (abortFd_ >= 0) ::close(abortFd_);
  abortFd_ = -1;
}

bool THttpGatewayClient::Close() {
  // Every exchange closes its own connection; what is left is the duplicate of a socket whose
  // exchange ended by an exception before it could let go of it.
  ReleaseSocket();
  return true;
}

Poco::Net::StreamSocket THttpGatewayClient::OpenSocket(const Poco::Net::SocketAddress& address,
                                                       int32_t timeoutMs) {
  // The descriptor exists before the connect starts, so an Abort from now on reaches it.
  Poco::Net::StreamSocket socket(address.family());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (aborted_) throw Poco::Net::NetException("the channel is closing");
    if (abortFd_ >= 0) ::close(abortFd_);
    abortFd_ = ::dup(socket.impl()->sockfd());
    if (abortFd_ < 0) throw Poco::Net::NetException("dup failed", Poco::Error::getMessage(errno));
  }
  socket.connectNB(address);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    ThrowIfAborted();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) throw Poco::TimeoutException("connect timed out", address.toString());
    const auto slice = static_cast<int32_t>(std::min<int64_t>(left, kConnectSliceMs));
    if (socket.poll(Milliseconds(slice),
                    Poco::Net::Socket::SELECT_WRITE | Poco::Net::Socket::SELECT_ERROR))
      break;
  }
  ThrowIfAborted();
  if (const int error = socket.impl()->socketError(); error != 0) {
    if (error == ECONNREFUSED)
      throw Poco::Net::ConnectionRefusedException(address.toString());
    throw Poco::Net::NetException(Poco::Error::getMessage(error), address.toString(), error);
  }
  socket.setBlocking(true);
  socket.setReceiveTimeout(Milliseconds(timeoutMs));
  socket.setSendTimeout(Milliseconds(timeoutMs));
  socket.setNoDelay(true);
  return socket;
}

void THttpGatewayClient::Probe(const std::string& host, uint16_t port, int32_t timeoutMs) {
  ThrowIfAborted();
  const Poco::Net::SocketAddress address(host, port);
  try {
    Poco::Net::StreamSocket socket = OpenSocket(address, timeoutMs);
    socket.close();
  } catch (...) {
    ReleaseSocket();
    throw;
  }
  ReleaseSocket();
}

int THttpGatewayClient::Exchange(const std::string& host, uint16_t port,
                                 Poco::Net::HTTPRequest& request, const std::string& body,
                                 int32_t timeoutMs) {
  ThrowIfAborted();
  auto session = std::make_unique<TSession>(*this, host, port, timeoutMs);
  int status = 0;
  try {
    std::ostream& out = session->sendRequest(request);
    out.write(body.data(), static_cast<std::streamsize>(body.size()));
    out.flush();
    // The request stream swallows a failed write and only marks itself bad.
    if (!out.good()) {
      if (const Poco::Exception* e = session->networkException()) e->rethrow();
      throw Poco::Net::NetException("the request could not be sent");
    }
    Poco::Net::HTTPResponse response;
    session->receiveResponse(response);
    status = static_cast<int>(response.getStatus());
  } catch (...) {
    session.reset();
    ReleaseSocket();
    throw;
  }
  session.reset();
  ReleaseSocket();
  return status;
}

int THttpGatewayClient::Get(const std::string& host, uint16_t port, const std::string& target,
                            int32_t timeoutMs) {
  Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, target,
                                 Poco::Net::HTTPMessage::HTTP_1_1);
  return Exchange(host, port, request, std::string(), timeoutMs);
}

int THttpGatewayClient::Post(const std::string& host, uint16_t port, const std::string& target,
                             const std::string& body, const std::string& contentType,
                             int32_t timeoutMs) {
  Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_POST, target,
                                 Poco::Net::HTTPMessage::HTTP_1_1);
  request.setContentType(contentType);
  request.setContentLength(static_cast<std::streamsize>(body.size()));
  return Exchange(host, port, request, body, timeoutMs);
}

} // namespace voxmit
