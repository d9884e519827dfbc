// The built server as a process with one IP network device: a client submits an SMTP or an
// SNPP message, the real server on loopback receives it, and the client hears MESSAGE_SENT. A
// stop of the server while a carrier waits on a silent peer ends promptly.

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>

#include <Poco/Data/Session.h>

#include "common/ServerTypes.h"
#include "store/DbSession.h"
#include "support/LocalSmtpServer.h"
#include "support/LocalSnppServer.h"
#include "support/ProtocolClient.h"
#include "support/ScriptedLineServer.h"
#include "support/ServerProcess.h"
#include "support/TempHome.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;
using namespace Poco::Data::Keywords;

namespace voxmit::test {
namespace {

class NetCarriersE2E : public ::testing::Test {
protected:
  void SetUp() override {
    CreateTestDatabase(home.Path());
    port = FreeTcpPort();
    home.Write("Settings.ini", "[Connections]\nPortNo=" + std::to_string(port) +
                                   "\n[Threads]\nSchedulerRequeryPeriod=500\n"
                                   "SentConfirmationsRequeryPeriod=300\nThreadWaitLoopTimeout=200\n");
  }

  void TearDown() override {
    if (server && server->Running()) {
      server->Signal(SIGTERM);
      EXPECT_EQ(server->WaitExit(60s), 0);
    }
  }

  // One IP network device, then the server (it loads devices at start).
  void StartServer() {
    int32_t typeNo = 4;
    std::string settings = "127.0.0.1,1,0";
    std::string name = "Net1";
    auto db = OpenDbSession(home.File("ServerData.db"));
    db << "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES (?, ?, ?)", use(typeNo),
        use(settings), use(name), now;
    server = std::make_unique<TServerProcess>(
        home.Path(), std::vector<std::string>{"--headless", "--home", home.Path().string()});
    server->Start();
    ASSERT_TRUE(server->WaitForStdout("VoxmitServer - Running")) << server->Stderr();
  }

  // Logs on and submits one message; the row's ID in row.
  std::unique_ptr<TProtocolClient> Submit(int32_t carrierType, const std::string& settings,
                                          const std::string& pagerID, const std::string& text,
                                          std::string& row) {
    auto client = std::make_unique<TProtocolClient>(static_cast<uint16_t>(port));
    client->Logon(client::NewClientGuid(), "Test client");
    auto reply = client->ReadReply(10s);
    EXPECT_TRUE(reply && reply->Keyword == "LOGON_OK");
    client->SendMessage(17, carrierType, settings, pagerID, text);
    auto accepted = client->ReadReply(10s);
    EXPECT_TRUE(accepted && accepted->Keyword == "MESSAGE_ACCEPTED");
    if (accepted) row = accepted->Fields.at(1);
    return client;
  }

  std::string Result(TProtocolClient& client) {
    auto result = client.ReadReply(60s);
    return result ? result->Keyword + " " + result->Data : "no result";
  }

  TempHome home;
  int port = 0;
  std::unique_ptr<TServerProcess> server;
};

TEST_F(NetCarriersE2E, SmtpMessageArrivesAsMailAndIsReportedSent) {
  TLocalSmtpServer smtp(home.Path());
  StartServer();
  std::string row;
  auto client = Submit(CT_SMTP, "127.0.0.1," + std::to_string(smtp.Port()) + ",0,pager,secret",
                       "gw@example.com,ops@example.com,,\"Disk full\"", "Disk 3 is full", row);
  EXPECT_EQ(Result(*client), "MESSAGE_SENT 17," + row) << server->Stderr();
  ASSERT_EQ(smtp.Mails().size(), 1u) << smtp.Errors();
  EXPECT_EQ(smtp.Mails()[0].Subject, "Disk full");
  EXPECT_EQ(smtp.Mails()[0].Body, "Disk 3 is full");
  EXPECT_TRUE(smtp.Mails()[0].Authenticated);
}

TEST_F(NetCarriersE2E, SnppMessageArrivesAsPageAndIsReportedSent) {
  TLocalSnppServer snpp(home.Path());
  StartServer();
  std::string row;
  auto client = Submit(CT_SNPP, "127.0.0.1," + std::to_string(snpp.Port()) + ",80,ops,pw",
                       "5551234,x", "Disk 3 is full", row);
  EXPECT_EQ(Result(*client), "MESSAGE_SENT 17," + row) << server->Stderr();
  EXPECT_EQ(snpp.Pages(), (std::vector<TLocalSnppServer::Page>{{"5551234", "Disk 3 is full"}}));
}

TEST_F(NetCarriersE2E, RefusedRecipientIsReportedAbandoned) {
  TLocalSmtpServer::Options options;
  options.RefuseRecipient = "nobody";
  TLocalSmtpServer smtp(home.Path(), options);
  StartServer();
  std::string row;
  auto client = Submit(CT_SMTP, "127.0.0.1," + std::to_string(smtp.Port()) + ",1,,",
                       "gw@example.com,nobody@example.com,,S", "HI", row);
  EXPECT_EQ(Result(*client), "MESSAGE_SEND_ERROR 17,1, Error Sending this Message.");
}

// The mail server greets and then never answers: the stop does not wait for its 30 seconds.
TEST_F(NetCarriersE2E, StopWhileTheMailServerIsSilentEndsPromptly) {
  TScriptedLineServer silent("220 ready\r\n",
                             [](const std::string&, size_t) { return TScriptedLineServer::TAnswer{}; });
  StartServer();
  std::string row;
  auto client = Submit(CT_SMTP, "127.0.0.1," + std::to_string(silent.Port()) + ",1,,",
                       "gw@example.com,ops@example.com,,S", "HI", row);
  ASSERT_TRUE(WaitUntil([&] { return !silent.Received().empty() && !silent.Received()[0].empty(); },
                        20s));
  client.reset();
  server->Signal(SIGTERM);
  // The stop itself pauses a second for the clients; far below the 30-second time-out.
  EXPECT_EQ(server->WaitExit(10s), 0);
}

} // namespace
} // namespace voxmit::test
