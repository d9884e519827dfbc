// The built server as a process with the HTTP gateway carriers: a client submits a message,
// the server sends it through an IP network device to the fake gateway on loopback, the
// gateway receives it, and the client hears the result. A stop while the gateway is silent
// loses nothing.

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>

#include <Poco/Data/Session.h>

#include "carriers/WctpReader.h"
#include "common/ServerTypes.h"
#include "store/DbSession.h"
#include "support/FakeHttpServer.h"
#include "support/ProtocolClient.h"
#include "support/ServerProcess.h"
#include "support/TempHome.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;
using namespace Poco::Data::Keywords;

namespace voxmit::test {
namespace {

class HttpGatewayE2E : public ::testing::Test {
protected:
  void SetUp() override {
    CreateTestDatabase(home.Path());
    port = FreeTcpPort();
    home.Write("Settings.ini", "[Connections]\nPortNo=" + std::to_string(port) +
                                   "\n[Threads]\nSchedulerRequeryPeriod=500\n"
                                   "SentConfirmationsRequeryPeriod=300\nThreadWaitLoopTimeout=200\n");
  }

  void TearDown() override {
    client.reset();
    if (server && server->Running()) {
      server->Signal(SIGTERM);
      EXPECT_EQ(server->WaitExit(60s), 0);
    }
    gateway.Stop();
  }

  // One IP network device naming the fake gateway, then the server.
  void StartServer(int protocol) {
    std::string settings = "127.0.0.1," + GatewayPort() + "," + std::to_string(protocol);
    std::string name = "Net1";
    int32_t typeNo = 4;
    auto db = OpenDbSession(home.File("ServerData.db"));
    db << "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES (?, ?, ?)", use(typeNo),
        use(settings), use(name), now;
    server = std::make_unique<TServerProcess>(
        home.Path(), std::vector<std::string>{"--headless", "--home", home.Path().string()});
    server->Start();
    ASSERT_TRUE(server->WaitForStdout("VoxmitServer - Running")) << server->Stderr();
  }

  // Logs on and submits one message; "accepted" once the server stored it.
  std::string Submit(int32_t carrierType, const std::string& settings, const std::string& pagerID,
                     const std::string& text) {
    client = std::make_unique<TProtocolClient>(static_cast<uint16_t>(port));
    client->Logon(client::NewClientGuid(), "Test client");
    auto reply = client->ReadReply(10s);
    if (!reply || reply->Keyword != "LOGON_OK") return "no logon";
    client->SendMessage(17, carrierType, settings, pagerID, text);
    auto accepted = client->ReadReply(10s);
    if (!accepted || accepted->Keyword != "MESSAGE_ACCEPTED") return "not accepted";
    row = accepted->Fields.at(1);
    return "accepted";
  }
  // The result reply's keyword and data.
  std::string Result() {
    auto result = client->ReadReply(60s);
    return result ? result->Keyword + " " + result->Data : "no result";
  }

  int64_t Count(const std::string& table) {
    int64_t count = -1;
    auto db = OpenDbSession(home.File("ServerData.db"));
    db << "SELECT COUNT(*) FROM " + table, into(count), now;
    return count;
  }

  std::string GatewayPort() const { return std::to_string(gateway.Port()); }

  TempHome home{false};
  FakeHttpServer gateway;
  int port = 0;
  std::unique_ptr<TServerProcess> server;
  std::unique_ptr<TProtocolClient> client;
  std::string row;
};

TEST_F(HttpGatewayE2E, WctpMessageReachesTheGatewayAndIsReportedSent) {
  StartServer(2);
  ASSERT_EQ(Submit(CT_WCTP, "http://127.0.0.1/wctp/," + GatewayPort() + ",160",
                   "5550100,desk,,1,0,0", "Boiler & pump < 5 bar"),
            "accepted");
  EXPECT_EQ(Result(), "MESSAGE_SENT 17," + row) << server->Stderr();
  const auto requests = gateway.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].Method, "POST");
  EXPECT_EQ(requests[1].Target, "//wctp/");
  const TWctpSubmit read = ReadWctpSubmit(requests[1].Body);
  ASSERT_TRUE(read.Problems.empty()) << read.Problems.front();
  EXPECT_EQ(read.RecipientID, "5550100");
  EXPECT_EQ(read.SenderID, "desk");
  EXPECT_EQ(read.NotifyWhenQueued, "True");
  EXPECT_EQ(read.Alphanumeric, "Boiler & pump < 5 bar");
  EXPECT_EQ(home.Read("Test.xml"), requests[1].Body);
}

TEST_F(HttpGatewayE2E, MsgMessageReachesTheGatewayAndIsReportedSent) {
  StartServer(3);
  ASSERT_EQ(Submit(CT_MSG, "send," + GatewayPort() + ",160", "5550100,17,desk,user,secret",
                   "a&b=c"),
            "accepted");
  EXPECT_EQ(Result(), "MESSAGE_SENT 17," + row) << server->Stderr();
  const auto requests = gateway.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Target,
            "/send?id=17&to=5550100&from=desk&text=a%26b%3Dc&user=user&pass=secret");
}

TEST_F(HttpGatewayE2E, MsgRefusedByTheGatewayIsReportedAbandoned) {
  gateway.SetScript({FakeHttpServer::Answer(500)});
  StartServer(3);
  ASSERT_EQ(Submit(CT_MSG, "send," + GatewayPort() + ",160", "5550100,17,desk,user,secret", "hi"),
            "accepted");
  EXPECT_EQ(Result(), "MESSAGE_SEND_ERROR 17,1, Error Sending this Message.");
}

TEST_F(HttpGatewayE2E, StopWhileTheGatewayIsSilentKeepsTheMessageForLater) {
  gateway.SetScript({FakeHttpServer::Do(FakeHttpServer::TAct::Hold)});
  StartServer(3);
  ASSERT_EQ(Submit(CT_MSG, "send," + GatewayPort() + ",160", "5550100,17,desk,user,secret", "hi"),
            "accepted");
  ASSERT_TRUE(WaitUntil([&] { return gateway.Holding() == 1; }, 20s)) << server->Stderr();
  client.reset();
  const auto start = std::chrono::steady_clock::now();
  server->Signal(SIGTERM);
  // The stop itself pauses a second for the clients' shutdown notice.
  EXPECT_EQ(server->WaitExit(10s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  // Neither sent nor failed: still waiting to be sent at the next start.
  EXPECT_EQ(Count("Messages"), 1);
  EXPECT_EQ(Count("SentMessages"), 0);
}

} // namespace
} // namespace voxmit::test
