// The built server as a process: a client submits a TAP message, the server dials the fake
// modem on a pty, the fake terminal receives one correct block, and the client hears
// MESSAGE_SENT.

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>

#include <Poco/Data/Session.h>

#include "store/DbSession.h"
#include "support/FakeModem.h"
#include "support/FakeTapTerminal.h"
#include "support/ProtocolClient.h"
#include "support/PtyPair.h"
#include "support/ServerProcess.h"
#include "support/TempHome.h"

using namespace std::chrono_literals;
using namespace Poco::Data::Keywords;

namespace voxmit::test {
namespace {

class TapE2E : public ::testing::Test {
protected:
  void SetUp() override {
    CreateTestDatabase(home.Path());
    std::string settings = pty.SlavePath() + ",ATQ0V1M1E0X4,,false,1,1";
    std::string name = "Modem1";
    int32_t typeNo = 1;
    auto db = OpenDbSession(home.File("ServerData.db"));
    db << "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES (?, ?, ?)", use(typeNo),
        use(settings), use(name), now;

    port = FreeTcpPort();
    home.Write("Settings.ini", "[Connections]\nPortNo=" + std::to_string(port) +
                                   "\n[Threads]\nSchedulerRequeryPeriod=500\n"
                                   "SentConfirmationsRequeryPeriod=300\nThreadWaitLoopTimeout=200\n"
                                   "[Modem]\nDtrHangupDelay=10\nModemResponseTimeout=1000\n"
                                   "ModemConnectTimeout=5000\nModemDisconnectTimeout=3000\n");
    FakeTapTerminal::Options options;
    options.password = "secret";
    terminal = std::make_unique<FakeTapTerminal>(options);
    modem = std::make_unique<FakeModem>();
    modem->SetPeer(terminal.get());
    line = std::make_unique<PtyLine>(pty, *modem);
    line->Start();

    server = std::make_unique<TServerProcess>(
        home.Path(), std::vector<std::string>{"--headless", "--home", home.Path().string()});
    server->Start();
    ASSERT_TRUE(server->WaitForStdout("VoxmitServer - Running")) << server->Stderr();
  }

  void TearDown() override {
    if (server && server->Running()) {
      server->Signal(SIGTERM);
      EXPECT_EQ(server->WaitExit(60s), 0);
    }
    if (line) line->Stop();
  }

  TempHome home;
  PtyPair pty;
  std::unique_ptr<FakeTapTerminal> terminal;
  std::unique_ptr<FakeModem> modem;
  std::unique_ptr<PtyLine> line;
  int port = 0;
  std::unique_ptr<TServerProcess> server;
};

TEST_F(TapE2E, ClientMessageReachesTheTerminalAndIsReportedSent) {
  TProtocolClient client(static_cast<uint16_t>(port));
  client.Logon(client::NewClientGuid(), "Test client");
  auto reply = client.ReadReply(10s);
  ASSERT_TRUE(reply && reply->Keyword == "LOGON_OK") << (reply ? reply->Body : "no reply");

  client.SendMessage(17, 1, "5551234,secret,80,9600,\"8,N,1\"", "123", "HI");
  auto accepted = client.ReadReply(10s);
  ASSERT_TRUE(accepted);
  ASSERT_EQ(accepted->Keyword, "MESSAGE_ACCEPTED");
  const std::string row = accepted->Fields.at(1);

  auto sent = client.ReadReply(60s);
  ASSERT_TRUE(sent) << server->Stderr();
  EXPECT_EQ(sent->Keyword, "MESSAGE_SENT");
  EXPECT_EQ(sent->Fields, (std::vector<std::string>{"17", row}));

  EXPECT_EQ(modem->DialedNumbers(), std::vector<std::string>{"5551234"});
  EXPECT_EQ(terminal->Pages(), (std::vector<FakeTapTerminal::Page>{{"123", "HI"}}));
  ASSERT_EQ(terminal->Blocks().size(), 1u);
  EXPECT_TRUE(terminal->Blocks()[0].checksumOk);
}

} // namespace
} // namespace voxmit::test
