#include "support/FakeHttpServer.h"

#include <sys/socket.h>

#include <sstream>

#include <Poco/Exception.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/SocketStream.h>
#include <Poco/Net/TCPServer.h>
#include <Poco/Net/TCPServerConnection.h>
#include <Poco/Net/TCPServerConnectionFactory.h>
#include <Poco/Net/TCPServerParams.h>
#include <Poco/String.h>
#include <Poco/ThreadPool.h>

namespace voxmit::test {

namespace {

constexpr auto kPollSlice = std::chrono::milliseconds(50);
// Connections served at once; a held connection keeps its thread.
constexpr int kMaxThreads = 64;

Poco::Timespan Span(std::chrono::microseconds time) { return Poco::Timespan(time.count()); }

} // namespace

std::string FakeHttpServer::TRequest::Header(const std::string& name) const {
  for (const auto& [key, value] : Headers)
    if (Poco::icompare(key, name) == 0) return value;
  return {};
}

class FakeHttpServer::TConnection : public Poco::Net::TCPServerConnection {
public:
  TConnection(const Poco::Net::StreamSocket& socket, FakeHttpServer& owner)
      : TCPServerConnection(socket), owner_(owner) {}
  void run() override { owner_.Serve(socket()); }

private:
  FakeHttpServer& owner_;
};

class FakeHttpServer::TFactory : public Poco::Net::TCPServerConnectionFactory {
public:
  explicit TFactory(FakeHttpServer& owner) : owner_(owner) {}
  // POCO's server owns and deletes the connection once it has run.
  Poco::Net::TCPServerConnection* createConnection(const Poco::Net::StreamSocket& socket) override {
    return new TConnection(socket, owner_);
  }

private:
  FakeHttpServer& owner_;
};

FakeHttpServer::FakeHttpServer()
    : listener_(Poco::Net::SocketAddress("127.0.0.1", 0), 64),
      pool_(std::make_unique<Poco::ThreadPool>(2, kMaxThreads)) {
  port_ = listener_.address().port();
  auto params = Poco::makeAuto<Poco::Net::TCPServerParams>();
  params->setMaxThreads(kMaxThreads);
  params->setMaxQueued(256);
  server_ = std::make_unique<Poco::Net::TCPServer>(Poco::makeShared<TFactory>(*this), *pool_,
                                                   listener_, params);
  server_->start();
}

FakeHttpServer::~FakeHttpServer() { Stop(); }

void FakeHttpServer::SetScript(std::vector<TStep> steps) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_ = steps.empty() ? std::vector<TStep>{Answer(200)} : std::move(steps);
}

void FakeHttpServer::SetBody(std::string body) {
  std::lock_guard<std::mutex> lock(mutex_);
  body_ = std::move(body);
}

void FakeHttpServer::SetDelay(std::chrono::microseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  delay_ = delay;
}

std::vector<FakeHttpServer::TRequest> FakeHttpServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t FakeHttpServer::RequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

size_t FakeHttpServer::Connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

size_t FakeHttpServer::Holding() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return holding_;
}

size_t FakeHttpServer::Answered() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return answered_;
}

std::chrono::nanoseconds FakeHttpServer::AnswerTime() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return answerTime_;
}

bool FakeHttpServer::WaitForRequests(size_t count, std::chrono::milliseconds deadline) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, deadline, [&] { return requests_.size() >= count; });
}

void FakeHttpServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
    stopping_ = true;
    for (Poco::Net::StreamSocket* socket : live_) {
      try {
        socket->shutdown();
      } catch (const Poco::Exception&) {
        // already shut down by the client or by the act itself
      }
    }
  }
  stop_.notify_all();
  server_->stop();
  pool_->joinAll();
  server_.reset();
  listener_.close();
}

void FakeHttpServer::Serve(Poco::Net::StreamSocket& socket) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    ++connections_;
    live_.insert(&socket);
  }
  ServeRegistered(socket);
  std::lock_guard<std::mutex> lock(mutex_);
  live_.erase(&socket);
}

void FakeHttpServer::ServeRegistered(Poco::Net::StreamSocket& socket) {
  try {
    socket.setNoDelay(true);
  } catch (const Poco::Exception&) {
    return;
  }
  TRequest request;
  if (!ReadRequest(socket, request)) return;
  const auto received = std::chrono::steady_clock::now();
  size_t index = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    index = requests_.size();
    requests_.push_back(std::move(request));
  }
  changed_.notify_all();
  const TStep step = StepFor(index);
  Act(socket, step);
  if (step.Act == TAct::Answer) {
    const auto spent = std::chrono::steady_clock::now() - received;
    std::lock_guard<std::mutex> lock(mutex_);
    ++answered_;
    answerTime_ += std::chrono::duration_cast<std::chrono::nanoseconds>(spent);
  }
}

bool FakeHttpServer::ReadRequest(Poco::Net::StreamSocket& socket, TRequest& into) {
  try {
    Poco::Net::SocketStream stream(socket);
    Poco::Net::HTTPRequest request;
    request.read(stream);
    into.Method = request.getMethod();
    into.Target = request.getURI();
    into.Version = request.getVersion();
    for (const auto& [name, value] : request) into.Headers.emplace_back(name, value);
    if (request.hasContentLength()) {
      const auto length = request.getContentLength64();
      into.Body.resize(static_cast<size_t>(length));
      stream.read(into.Body.data(), static_cast<std::streamsize>(length));
      if (stream.gcount() != static_cast<std::streamsize>(length)) return false;
    }
    return true;
  } catch (const Poco::Exception&) {
    return false;  // no request at all (a probe), or none that parses
  }
}

FakeHttpServer::TStep FakeHttpServer::StepFor(size_t index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return script_[std::min(index, script_.size() - 1)];
}

void FakeHttpServer::Act(Poco::Net::StreamSocket& socket, const TStep& step) {
  switch (step.Act) {
    case TAct::Answer: {
      std::chrono::microseconds delay;
      std::string body;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        delay = delay_;
        body = body_;
      }
      if (delay.count() > 0 && !Sleep(delay)) return;
      Poco::Net::HTTPResponse response(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(step.Status));
      response.setContentLength(static_cast<std::streamsize>(body.size()));
      response.setKeepAlive(false);
      std::ostringstream out;
      response.write(out);
      out << body;
      SendAll(socket, out.str());
      try {
        socket.shutdownSend();
      } catch (const Poco::Exception&) {
      }
      return;
    }
    case TAct::Hold:
      Hold(socket);
      return;
    case TAct::Close:
      try {
        socket.shutdown();
      } catch (const Poco::Exception&) {
      }
      return;
    case TAct::HalfAnswer:
      SendAll(socket, "HTTP/1.1 200");
      try {
        socket.shutdown();
      } catch (const Poco::Exception&) {
      }
      return;
    case TAct::Garbage:
      SendAll(socket, std::string("\x16\x03\x01\x02\x00 \xFF\xFE garbage\r\n\r\n", 21));
      Hold(socket);
      return;
    case TAct::OverlongStatusLine:
      SendAll(socket, "HTTP/1.1 200 " + std::string(100000, 'A'));
      Hold(socket);
      return;
    case TAct::OverlongHeader:
      SendAll(socket, "HTTP/1.1 200 OK\r\nX-Long: " + std::string(1 << 20, 'B'));
      Hold(socket);
      return;
  }
}

void FakeHttpServer::SendAll(Poco::Net::StreamSocket& socket, const std::string& bytes) {
  size_t sent = 0;
  try {
    while (sent < bytes.size()) {
      // MSG_NOSIGNAL: a client that has gone makes the write fail, not SIGPIPE.
      const int n = socket.sendBytes(bytes.data() + sent, static_cast<int>(bytes.size() - sent),
                                     MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  } catch (const Poco::Exception&) {
    // the client closed while the answer was going out
  }
}

void FakeHttpServer::Hold(Poco::Net::StreamSocket& socket) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++holding_;
  }
  char buffer[4096];
  try {
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) break;
      }
      if (!socket.poll(Span(kPollSlice), Poco::Net::Socket::SELECT_READ)) continue;
      if (socket.receiveBytes(buffer, sizeof buffer) <= 0) break;  // the client closed
    }
  } catch (const Poco::Exception&) {
    // reset by the client
  }
  std::lock_guard<std::mutex> lock(mutex_);
  --holding_;
}

bool FakeHttpServer::Sleep(std::chrono::microseconds time) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !stop_.wait_for(lock, time, [&] { return stopping_; });
}

} // namespace voxmit::test
