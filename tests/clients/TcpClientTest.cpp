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
#include "platform/ThreadRegistry.h"
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

// A flooding client must pause its own reader, not everyone's: a second session on the same
// input queue (nothing drains it here) still gets its message in.
TEST_F(TcpSession, AFloodingSessionPausesOnlyItsOwnReader) {
  Start();
  Send(Frame("LOGON,{flooder},x"));
  ASSERT_EQ(NextReply(), "LOGON_OK");
  std::string flood;
  for (int i = 1; i <= 3000; ++i) flood += Frame("MESSAGE," + std::to_string(i) + ",1,x,555,hi");
  std::thread writer([&] {
    try {
      peer.sendBytes(flood.data(), static_cast<int>(flood.size()));
    } catch (const std::exception&) {
      // The session ended while this still wrote.
    }
  });
  const TBaseClient* flooder = session.get();
  const auto flooderCount = [&] {
    TNReadLock lock(input->Lock());
    return input->CountOf(flooder);
  };
  ASSERT_TRUE(WaitUntil([&] { return flooderCount() >= TInputMessageQueue::kTotalShare; }));

  Poco::Net::ServerSocket listener(Poco::Net::SocketAddress("127.0.0.1", 0));
  Poco::Net::StreamSocket otherPeer(Poco::Net::SocketAddress::IPv4);
  otherPeer.connect(listener.address());
  auto other = std::make_shared<TTcpClient>(listener.acceptConnection(),
                                            TSessionContext{clients, carriers, input});
  std::thread otherThread([reader = std::make_shared<TNClientReadThread>(other)] {
    reader->Execute();
  });
  const std::string request = Frame("LOGON,{polite},x") + Frame("MESSAGE,7,1,x,555,hello");
  otherPeer.sendBytes(request.data(), static_cast<int>(request.size()));
  EXPECT_TRUE(WaitUntil([&] {
    TNReadLock lock(input->Lock());
    return input->CountOf(other.get()) == 1;
  }));
  // The flooder stays paused near its share (a read in progress finishes its chunk).
  EXPECT_LT(flooderCount(), TInputMessageQueue::kTotalShare + 100);

  other->Disconnect();
  otherThread.join();
  session->Disconnect();
  writer.join();
}

// The listener's hand-off: accepted connections go to pool threads that serve one connection
// after the other.
class ConnectionPool : public ::testing::Test {
protected:
  ConnectionPool() { settings::ThreadWaitLoopTimeout = 100; }
  ~ConnectionPool() override {
    connections->DisconnectAll();
    EXPECT_TRUE(TNThreadRegistry::Instance().WaitAll(10000));
    settings::ThreadWaitLoopTimeout = 2000;
    settings::MaxConnections = 1000;
  }

  // Connects a peer and hands the server's end to the pool.
  Poco::Net::StreamSocket Connect() {
    Poco::Net::StreamSocket peer(Poco::Net::SocketAddress::IPv4);
    peer.connect(listener.address());
    connections->Serve(listener.acceptConnection(), TSessionContext{clients, carriers, input});
    return peer;
  }
  // Whether the server ends the connection within 10 s (a reply before the end is fine).
  static bool Closed(Poco::Net::StreamSocket& peer) {
    char buffer[256];
    while (peer.poll(Poco::Timespan(10, 0), Poco::Net::Socket::SELECT_READ)) {
      try {
        if (peer.receiveBytes(buffer, sizeof buffer) <= 0) return true;
      } catch (const std::exception&) {
        return true;
      }
    }
    return false;
  }
  static std::string Logon(Poco::Net::StreamSocket& peer, const std::string& guid) {
    const std::string frame = Frame("LOGON," + guid + ",x");
    peer.sendBytes(frame.data(), static_cast<int>(frame.size()));
    client::TFrameCutter cutter;
    char buffer[256];
    while (peer.poll(Poco::Timespan(10, 0), Poco::Net::Socket::SELECT_READ)) {
      const int n = peer.receiveBytes(buffer, sizeof buffer);
      if (n <= 0) break;
      cutter.Append(std::string_view(buffer, n));
      if (auto body = cutter.Next()) return *body;
    }
    return {};
  }

  std::shared_ptr<TClientsList> clients = std::make_shared<TClientsList>();
  std::shared_ptr<TCarriersList> carriers = std::make_shared<TCarriersList>();
  std::shared_ptr<TInputMessageQueue> input = std::make_shared<TInputMessageQueue>();
  std::shared_ptr<TTcpConnections> connections = std::make_shared<TTcpConnections>();
  Poco::Net::ServerSocket listener{Poco::Net::SocketAddress("127.0.0.1", 0)};
};

TEST_F(ConnectionPool, OneThreadServesConnectionsOneAfterTheOther) {
  for (int i = 0; i < 5; ++i) {
    auto peer = Connect();
    EXPECT_EQ(Logon(peer, "{pool-" + std::to_string(i) + "}"), "LOGON_OK");
    peer.close();
    ASSERT_TRUE(WaitUntil([&] { return connections->Count() == 0; }));
  }
  EXPECT_EQ(connections->Threads(), 1);
  // Connections open at once each have a thread.
  auto a = Connect();
  auto b = Connect();
  EXPECT_EQ(Logon(a, "{pool-a}"), "LOGON_OK");
  EXPECT_EQ(Logon(b, "{pool-b}"), "LOGON_OK");
  EXPECT_EQ(connections->Threads(), 2);
}

TEST_F(ConnectionPool, ConnectionsBeyondTheLimitAreClosedAtOnce) {
  settings::MaxConnections = 2;
  auto a = Connect();
  auto b = Connect();
  auto c = Connect();
  EXPECT_TRUE(Closed(c));
  EXPECT_EQ(Logon(a, "{limit-a}"), "LOGON_OK");
  EXPECT_EQ(Logon(b, "{limit-b}"), "LOGON_OK");
  EXPECT_EQ(connections->Count(), 2);
  // Once one closes there is room again.
  a.close();
  ASSERT_TRUE(WaitUntil([&] { return connections->Count() == 1; }));
  auto d = Connect();
  EXPECT_EQ(Logon(d, "{limit-d}"), "LOGON_OK");
}

TEST_F(ConnectionPool, DisconnectAllEndsSessionsAndThreadsAndRefusesLaterConnections) {
  auto a = Connect();
  EXPECT_EQ(Logon(a, "{stop-a}"), "LOGON_OK");
  auto idle = Connect();  // never logs on
  connections->DisconnectAll();
  EXPECT_TRUE(Closed(a));
  EXPECT_TRUE(Closed(idle));
  EXPECT_TRUE(TNThreadRegistry::Instance().WaitAll(10000));
  EXPECT_EQ(connections->Threads(), 0);
  auto late = Connect();
  EXPECT_TRUE(Closed(late));
  EXPECT_EQ(connections->Count(), 0);
}

} // namespace
} // namespace voxmit::test