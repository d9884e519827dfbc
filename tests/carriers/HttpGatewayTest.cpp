// The gateway carriers' HTTP client on its own: its connect time-out against a server that
// never completes a connection, and Abort from another thread in each blocking step.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

#include <Poco/Exception.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include "carriers/ChannelMSG.h"
#include "carriers/ChannelWCTP.h"
#include "carriers/HttpGateway.h"
#include "carriers/RegisterCarriers.h"
#include "channels/RegChannels.h"
#include "host/ServerSettings.h"
#include "support/FakeHttpServer.h"
#include "support/WaitUntil.h"

namespace voxmit::test {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

// A listener that accepts nothing and whose accept queue is full: the kernel drops further
// connection requests, so a new connect neither succeeds nor fails until its time-out.
class TFullListener {
public:
  TFullListener() : listener_(Poco::Net::SocketAddress("127.0.0.1", 0), 1) {
    for (int i = 0; i < 4; ++i) {
      Poco::Net::StreamSocket socket;
      socket.connectNB(listener_.address());
      fillers_.push_back(socket);
    }
    // Let the fillers' handshakes settle into the queue.
    std::this_thread::sleep_for(100ms);
  }
  uint16_t Port() const { return listener_.address().port(); }

private:
  Poco::Net::ServerSocket listener_;
  std::vector<Poco::Net::StreamSocket> fillers_;
};

TEST(HttpGatewayClientTest, AProbeThatIsNeverAnsweredEndsAtItsTimeOut) {
  TFullListener listener;
  THttpGatewayClient client;
  const auto start = TClock::now();
  EXPECT_THROW(client.Probe("127.0.0.1", listener.Port(), 300), Poco::TimeoutException);
  const auto took = TClock::now() - start;
  EXPECT_GE(took, 290ms);
  EXPECT_LT(took, 5s);
}

TEST(HttpGatewayClientTest, AbortEndsAProbeInProgressAndEveryLaterCall) {
  TFullListener listener;
  THttpGatewayClient client;
  auto probe = std::async(std::launch::async, [&] {
    const auto start = TClock::now();
    try {
      client.Probe("127.0.0.1", listener.Port(), 30000);
    } catch (const Poco::Exception&) {
      return TClock::now() - start;
    }
    return TClock::duration::max();
  });
  std::this_thread::sleep_for(200ms);
  client.Abort();
  ASSERT_EQ(probe.wait_for(2s), std::future_status::ready) << "the probe did not end";
  EXPECT_LT(probe.get(), 2s);

  FakeHttpServer server;
  EXPECT_THROW(client.Get("127.0.0.1", server.Port(), "/", 30000), Poco::Exception);
  EXPECT_THROW(client.Probe("127.0.0.1", server.Port(), 30000), Poco::Exception);
  EXPECT_EQ(server.Connections(), 0u);
  EXPECT_TRUE(client.Aborted());
}

TEST(HttpGatewayClientTest, AbortEndsARequestWhoseAnswerNeverComes) {
  FakeHttpServer server;
  server.SetScript({FakeHttpServer::Do(FakeHttpServer::TAct::Hold)});
  THttpGatewayClient client;
  auto post = std::async(std::launch::async, [&] {
    try {
      client.Post("127.0.0.1", server.Port(), "/x", std::string(100000, 'p'), "text/plain", 30000);
    } catch (const Poco::Exception&) {
      return true;
    }
    return false;
  });
  ASSERT_TRUE(WaitUntil([&] { return server.Holding() == 1; }, 10s));
  client.Abort();
  ASSERT_EQ(post.wait_for(2s), std::future_status::ready) << "the request did not end";
  EXPECT_TRUE(post.get());
  // The whole body had arrived before the answer was awaited.
  EXPECT_EQ(server.Requests().at(0).Body.size(), 100000u);
}

TEST(HttpGatewayClientTest, ReadTimeOutEndsAnUnansweredRequest) {
  FakeHttpServer server;
  server.SetScript({FakeHttpServer::Do(FakeHttpServer::TAct::Hold)});
  THttpGatewayClient client;
  const auto start = TClock::now();
  EXPECT_THROW(client.Get("127.0.0.1", server.Port(), "/", 300), Poco::TimeoutException);
  EXPECT_LT(TClock::now() - start, 5s);
  // The connection was let go: the server sees it close.
  EXPECT_TRUE(WaitUntil([&] { return server.Holding() == 0; }, 5s));
  EXPECT_TRUE(client.Close());
}

TEST(HttpGatewayClientTest, StatusOfTheAnswerIsReturnedAndTheConnectionClosed) {
  FakeHttpServer server;
  server.SetScript({FakeHttpServer::Answer(503), FakeHttpServer::Answer(201)});
  server.SetBody(std::string(50000, 'b'));  // an answer body the client does not read
  THttpGatewayClient client;
  EXPECT_EQ(client.Get("127.0.0.1", server.Port(), "/a", 5000), 503);
  EXPECT_EQ(client.Post("127.0.0.1", server.Port(), "/b", "x=1", "text/plain", 5000), 201);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Header("Connection"), "Close");
  EXPECT_EQ(requests[1].Header("Content-Length"), "3");
  EXPECT_EQ(requests[1].Body, "x=1");
}

TEST(RegisterCarriers, BothGatewayClassesAreRegisteredWithTheNetworkLimits) {
  RegisterCarrierChannels();
  const auto wctp = FindChannelClass(CT_WCTP);
  const auto msg = FindChannelClass(CT_MSG);
  ASSERT_NE(wctp, nullptr);
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(wctp->ClassName(), "TChannelWCTP");
  EXPECT_EQ(msg->ClassName(), "TChannelMSG");
  for (const auto& cls : {wctp, msg}) {
    EXPECT_EQ(cls->GetBufferLimits().Input, 1000);
    EXPECT_EQ(cls->GetBufferLimits().Output, settings::OutputBufferLimit.load());
  }
}

} // namespace
} // namespace voxmit::test
