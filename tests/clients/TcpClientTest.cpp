// The TCP session and its connection thread over a real loopback connection, in process, so a
// test can shrink the socket buffers and the write time-out.

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <gtest/gtest.h>

#include "clients/TcpClient.h"
#include "host/ServerSettings.h"
#include "support/WaitUntil.h"
#include "tools/ClientProtocol.h"

using namespace std::chrono_literals;

namespace voxmit::test {
namespace {

std::string Frame(const std::string& body) { return "\r\n\r" + body + "\r\v\r"; }

// One accepted connection served by a TTcpClient on its own connection thread.
class TcpSession : public ::testing::Test {
protected:
  void Start(int peerReceiveBuffer = 0, int serverSendBuffer = 0) {
    settings::ThreadWaitLoopTimeout = 200;
    Poco::Net::ServerSocket listener(Poco::Net::SocketAddress("127.0.0.1", 0));
    peer = Poco::Net::StreamSocket(Poco::Net::SocketAddress::IPv4);
    if (peerReceiveBuffer) peer.setReceiveBufferSize(peerReceiveBuffer);
    peer.connect(listener.address());
    peer.setSendTimeout(Poco::Timespan(10, 0));
    Poco::Net::StreamSocket accepted = listener.acceptConnection();
    if (serverSendBuffer) accepted.setSendBufferSize(serverSendBuffer);
    session = std::make_shared<TTcpClient>(accepted, TSessionContext{clients, carriers, input});
    thread = std::thread([this, reader = std::make_shared<TNClientReadThread>(session)] {
      reader->Execute();
      ended = true;
    });
  }
  ~TcpSession() override {
    if (session) session->Disconnect();
    if (thread.joinable()) thread.join();
    TTcpClient::SendTimeoutMs = 30000;
    TNClientReadThread::LogonTimeoutMs = 60000;
    settings::ThreadWaitLoopTimeout = 2000;
  }

  void Send(const std::string& bytes) {
    peer.sendBytes(bytes.data(), static_cast<int>(bytes.size()));
  }
  // The next reply body the peer receives, or nothing within 10 s.
  std::optional<std::string> NextReply() {
    char buffer[4096];
    for (;;) {
      if (auto body = cutter.Next()) return body;
      if (!peer.poll(Poco::Timespan(10, 0), Poco::Net::Socket::SELECT_READ)) return {};
      const int n = peer.receiveBytes(buffer, sizeof buffer);
      if (n <= 0) return {};
      cutter.Append(std::string_view(buffer, n));
    }
  }
  // Whether the server ends the connection (end of stream) within 10 s.
  bool PeerSeesClose() {
    char buffer[4096];
    while (peer.poll(Poco::Timespan(10, 0), Poco::Net::Socket::SELECT_READ)) {
      try {
        if (peer.receiveBytes(buffer, sizeof buffer) <= 0) return true;
      } catch (const std::exception&) {
        return true;  // reset
      }
    }
    return false;
  }

  std::shared_ptr<TClientsList> clients = std::make_shared<TClientsList>();
  std::shared_ptr<TCarriersList> carriers = std::make_shared<TCarriersList>();
  std::shared_ptr<TInputMessageQueue> input = std::make_shared<TInputMessageQueue>();
  Poco::Net::StreamSocket peer;
  client::TFrameCutter cutter;
  std::shared_ptr<TTcpClient> session;
  std::thread thread;
  std::atomic<bool> ended{false};
};

TEST_F(TcpSession, PeerCloseLogsTheSessionOff) {
  Start();
  EXPECT_EQ(session->GetIpAddress(), "127.0.0.1");
  Send(Frame("LOGON,{close-test},x"));
  EXPECT_EQ(NextReply(), "LOGON_OK");
  EXPECT_EQ(clients->Count(), 1);
  peer.close();
  ASSERT_TRUE(WaitUntil([&] { return ended.load(); }));
  EXPECT_EQ(clients->Count(), 0);
}

TEST_F(TcpSession, ClientThatNeverReadsIsGivenUpWhenAWriteTimesOut) {
  TTcpClient::SendTimeoutMs = 300;
  Start(4096, 4096);
  Send(Frame("LOGON,{deaf-test},x"));
  // Each refused message earns a reply the peer never reads: far more than both buffers hold.
  std::string burst;
  for (int i = 0; i < 4000; ++i) burst += Frame("MESSAGE," + std::to_string(i) + ",1,x");
  std::thread writer([&] {
    try {
      peer.sendBytes(burst.data(), static_cast<int>(burst.size()));
    } catch (const std::exception&) {
      // The server gave the session up while this was still writing.
    }
  });
  // The session ends by itself: nothing here reads or closes.
  EXPECT_TRUE(WaitUntil([&] { return ended.load(); }, 30s));
  EXPECT_TRUE(session->Closing());
  EXPECT_EQ(clients->Count(), 0);
  writer.join();
}

// What the peer's TCP acknowledged is what counts as delivered: all of it while the peer keeps
// up, less once its window is closed and bytes wait in the server's send queue.
TEST_F(TcpSession, AcknowledgedBytesFollowWhatThePeerTook) {
  Start(4096, 4096);
  EXPECT_EQ(session->SendText(std::string(100, 'x')), 100);
  EXPECT_TRUE(WaitUntil([&] { return session->BytesAcknowledged() == 100; }))
      << session->BytesAcknowledged();
  TTcpClient::SendTimeoutMs = 200;
  session->Socket().setSendTimeout(Poco::Timespan(0, 200000));
  const std::string chunk(4096, 'y');
  try {
    for (int i = 0; i < 1000 && session->SendText(chunk) > 0; ++i) {
    }
  } catch (const std::exception&) {
    // the write timed out: the peer's window is closed
  }
  EXPECT_GT(session->BytesWritten(), session->BytesAcknowledged());
  EXPECT_GE(session->BytesAcknowledged(), 100u);
}

TEST_F(TcpSession, ConnectionWithoutLogonIsClosedAfterTheDeadline) {
  TNClientReadThread::LogonTimeoutMs = 300;
  Start();
  Send("\r\n\rLOGON,{never-finished");
  EXPECT_TRUE(PeerSeesClose());
  EXPECT_TRUE(WaitUntil([&] { return ended.load(); }));
}

TEST_F(TcpSession, LoggedOnConnectionOutlivesTheLogonDeadline) {
  TNClientReadThread::LogonTimeoutMs = 300;
  Start();
  Send(Frame("LOGON,{stays},x"));
  EXPECT_EQ(NextReply(), "LOGON_OK");
  EXPECT_FALSE(WaitUntil([&] { return ended.load(); }, 1500ms));
  Send(Frame("MESSAGE,4,1,x"));
  EXPECT_EQ(NextReply(), "MESSAGE_ACCEPT_ERROR,\"4,1,Formatting Error\"");
}

TEST_F(TcpSession, DisconnectFromAnotherThreadEndsAnIdleConnection) {
  Start();
  Send("\r\n\rLOGON,{half");
  session->Disconnect();
  EXPECT_TRUE(WaitUntil([&] { return ended.load(); }));
  EXPECT_TRUE(PeerSeesClose());
}

} // namespace
} // namespace voxmit::test
