#include "support/ScriptedLineServer.h"

#include <sys/socket.h>

#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>

namespace voxmit::test {

namespace {

const Poco::Timespan kSlice(0, 50 * 1000);

} // namespace

TScriptedLineServer::TScriptedLineServer(std::string greeting, TScript script)
    : greeting_(std::move(greeting)),
      script_(std::move(script)),
      listener_(Poco::Net::SocketAddress("127.0.0.1", 0)) {
  port_ = listener_.address().port();
  thread_ = std::thread([this] { Run(); });
}

TScriptedLineServer::~TScriptedLineServer() {
  stop_ = true;
  thread_.join();
}

std::vector<std::vector<std::string>> TScriptedLineServer::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

size_t TScriptedLineServer::Connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_.size();
}

void TScriptedLineServer::Run() {
  while (!stop_) {
    if (!listener_.poll(kSlice, Poco::Net::Socket::SELECT_READ)) continue;
    try {
      Poco::Net::StreamSocket socket = listener_.acceptConnection();
      size_t connection = 0;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        connection = received_.size();
        received_.emplace_back();
      }
      Serve(socket, connection);
      socket.close();
    } catch (const Poco::Exception&) {
      // the client went away: wait for the next one
    }
  }
}

bool TScriptedLineServer::SendAll(Poco::Net::StreamSocket& socket, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size() && !stop_) {
    if (!socket.poll(kSlice, Poco::Net::Socket::SELECT_WRITE)) continue;
    const int n = socket.sendBytes(text.data() + sent, static_cast<int>(text.size() - sent),
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return sent == text.size();
}

void TScriptedLineServer::Serve(Poco::Net::StreamSocket& socket, size_t connection) {
  if (!greeting_.empty() && !SendAll(socket, greeting_)) return;
  std::string pending;
  char buffer[4096];
  while (!stop_) {
    if (!socket.poll(kSlice, Poco::Net::Socket::SELECT_READ)) continue;
    const int n = socket.receiveBytes(buffer, sizeof buffer);
    if (n <= 0) return;
    pending.append(buffer, static_cast<size_t>(n));
    size_t end = 0;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        received_[connection].push_back(line);
      }
      const TAnswer answer = script_(line, connection);
      if (!answer.Text.empty() && !SendAll(socket, answer.Text)) return;
      if (answer.Close) return;
    }
  }
}

} // namespace voxmit::test
