// The built server as a process with no device at all: what clients submit still comes back
// to them as a send result, without the operator doing anything.

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <memory>
#include <string>

#include <Poco/Data/Session.h>

#include "store/DbSession.h"
#include "store/DbTime.h"
#include "support/ProtocolClient.h"
#include "support/ServerProcess.h"
#include "support/TempHome.h"

using namespace std::chrono_literals;
using namespace Poco::Data::Keywords;

namespace voxmit::test {
namespace {

class DispatchE2E : public ::testing::Test {
protected:
  DispatchE2E() : port(FreeTcpPort()) {
    CreateTestDatabase(home.Path());
    home.Write("Settings.ini", "[Connections]\nPortNo=" + std::to_string(port) +
                                   "\n[Threads]\nSchedulerRequeryPeriod=300\n"
                                   "SentConfirmationsRequeryPeriod=300\nThreadWaitLoopTimeout=100\n");
  }
  ~DispatchE2E() override {
    if (server && server->Running()) {
      server->Signal(SIGTERM);
      EXPECT_EQ(server->WaitExit(60s), 0);
    }
  }
  void StartServer() {
    server = std::make_unique<TServerProcess>(
        home.Path(), std::vector<std::string>{"--headless", "--home", home.Path().string()});
    server->Start();
    ASSERT_TRUE(server->WaitForStdout("VoxmitServer - Running")) << server->Stderr();
  }

  TempHome home;
  const int port;
  std::unique_ptr<TServerProcess> server;
};

TEST_F(DispatchE2E, MessagesWithoutDevicesComeBackAsSendErrors) {
  StartServer();
  {
    TProtocolClient client(static_cast<uint16_t>(port));
    client.Logon(client::NewClientGuid(), "Test client");
    auto reply = client.ReadReply(10s);
    ASSERT_TRUE(reply && reply->Keyword == "LOGON_OK");
    // A TAP carrier with no modem, and a carrier type no device kind serves.
    client.SendMessage(17, 1, "5551234,secret", "123", "HI");
    client.SendMessage(18, 42, "anything", "456", "HO");
    std::map<std::string, std::string> results;  // client record ID -> error code
    for (int replies = 0; replies < 4;) {
      reply = client.ReadReply(60s);
      ASSERT_TRUE(reply) << "no reply; results so far: " << results.size();
      ++replies;
      if (reply->Keyword == "MESSAGE_ACCEPTED") continue;
      ASSERT_EQ(reply->Keyword, "MESSAGE_SEND_ERROR") << reply->Body;
      ASSERT_GE(reply->Fields.size(), 2u) << reply->Body;
      results[reply->Fields[0]] = reply->Fields[1];
    }
    EXPECT_EQ(results, (std::map<std::string, std::string>{{"17", "8"}, {"18", "8"}}));
  }
}

TEST_F(DispatchE2E, MessageWhoseCarrierWasLostIsReportedAtTheNextLogon) {
  // Left by an earlier run whose carrier row is gone (the operator cleared Carriers).
  const std::string guid = client::NewClientGuid();
  {
    auto db = OpenDbSession(home.File("ServerData.db"));
    db << "INSERT INTO Messages (ClientGUID, ClientRecordID, CarrierType, CarrierID, "
          "TimeReceived, ReceiveConfirmed, PagerID, RetryTimes, MessageText, Sending) "
          "VALUES (?, 31, 1, 99, ?, 1, '123', 0, 'old', 0)",
        bind(guid), bind(DbNow()), now;
  }
  StartServer();
  TProtocolClient client(static_cast<uint16_t>(port));
  client.Logon(guid, "Test client");
  auto reply = client.ReadReply(10s);
  ASSERT_TRUE(reply && reply->Keyword == "LOGON_OK");
  reply = client.ReadReply(60s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->Keyword, "MESSAGE_SEND_ERROR") << reply->Body;
  ASSERT_GE(reply->Fields.size(), 2u) << reply->Body;
  EXPECT_EQ(reply->Fields[0], "31");
  EXPECT_EQ(reply->Fields[1], "1");  // MSE_ABANDONED
}

} // namespace
} // namespace voxmit::test
