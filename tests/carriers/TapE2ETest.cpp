// The built server as a process: a client submits a TAP message, the server dials the fake
// modem on a pty, the fake terminal receives one correct block, and the client hears
// MESSAGE_SENT.

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>

#include <Poco/Data/Session.h>

#include "common/ServerTypes.h"
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
    port = FreeTcpPort();
    home.Write("Settings.ini", "[Connections]\nPortNo=" + std::to_string(port) +
                                   "\n[Threads]\nSchedulerRequeryPeriod=500\n"
                                   "SentConfirmationsRequeryPeriod=300\nThreadWaitLoopTimeout=200\n"
                                   "[Modem]\nDtrHangupDelay=10\nModemResponseTimeout=1000\n"
                                   "ModemConnectTimeout=5000\nModemDisconnectTimeout=3000\n"
                                   "[Channels]\nLogonRetries=0\n");
    FakeTapTerminal::Options options;
    options.password = "secret";
    terminal = std::make_unique<FakeTapTerminal>(options);
    modem = std::make_unique<FakeModem>();
    modem->SetPeer(terminal.get());
  }

  void TearDown() override {
    if (server && server->Running()) {
      server->Signal(SIGTERM);
      EXPECT_EQ(server->WaitExit(60s), 0);
    }
    if (line) line->Stop();
  }

  // One device on the pty with peer on the line, then the server (it loads devices at start).
  void StartServer(int32_t typeNo, std::string settings, FakeLinePeer& peer) {
    std::string name = "Line1";
    auto db = OpenDbSession(home.File("ServerData.db"));
    db << "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES (?, ?, ?)", use(typeNo),
        use(settings), use(name), now;
    line = std::make_unique<PtyLine>(pty, peer);
    line->Start();
    server = std::make_unique<TServerProcess>(
        home.Path(), std::vector<std::string>{"--headless", "--home", home.Path().string()});
    server->Start();
    ASSERT_TRUE(server->WaitForStdout("VoxmitServer - Running")) << server->Stderr();
  }
  void StartModemServer() { StartServer(1, pty.SlavePath() + ",ATQ0V1M1E0X4,,false,1,1", *modem); }

  // Logs on, submits one message, and returns the result reply's keyword and data, with the
  // stored row's ID in row.
  std::string SubmitAndWait(int32_t carrierType, const std::string& settings, std::string& row) {
    TProtocolClient client(static_cast<uint16_t>(port));
    client.Logon(client::NewClientGuid(), "Test client");
    auto reply = client.ReadReply(10s);
    if (!reply || reply->Keyword != "LOGON_OK") return "no logon";
    client.SendMessage(17, carrierType, settings, "123", "HI");
    auto accepted = client.ReadReply(10s);
    if (!accepted || accepted->Keyword != "MESSAGE_ACCEPTED") return "not accepted";
    row = accepted->Fields.at(1);
    auto result = client.ReadReply(60s);
    return result ? result->Keyword + " " + result->Data : "no result";
  }

  void ExpectOneCorrectBlock() {
    EXPECT_EQ(terminal->Pages(), (std::vector<FakeTapTerminal::Page>{{"123", "HI"}}));
    ASSERT_EQ(terminal->Blocks().size(), 1u);
    EXPECT_TRUE(terminal->Blocks()[0].checksumOk);
  }

  TempHome home;
  PtyPair pty;
  std::unique_ptr<FakeTapTerminal> terminal;
  std::unique_ptr<FakeModem> modem;
  std::unique_ptr<PtyLine> line;
  int port = 0;
  std::unique_ptr<TServerProcess> server;
};

const std::string kTapSettings = "5551234,secret,80,9600,\"8,N,1\"";

TEST_F(TapE2E, ClientMessageReachesTheTerminalAndIsReportedSent) {
  StartModemServer();
  std::string row;
  const std::string result = SubmitAndWait(CT_TAP, kTapSettings, row);
  EXPECT_EQ(result, "MESSAGE_SENT 17," + row) << server->Stderr();
  EXPECT_EQ(modem->DialedNumbers(), std::vector<std::string>{"5551234"});
  ExpectOneCorrectBlock();
}

TEST_F(TapE2E, BusyLineIsReportedAsNoConnection) {
  modem->SetDefaultDialAnswer({"BUSY"});
  StartModemServer();
  std::string row;
  EXPECT_EQ(SubmitAndWait(CT_TAP, kTapSettings, row),
            "MESSAGE_SEND_ERROR 17,3, Error Sending this Message.");
  EXPECT_TRUE(terminal->Blocks().empty());
}

TEST_F(TapE2E, DirectLineMessageReachesTheTerminal) {
  FakeTapTerminal::Options options;  // the direct logon carries no password
  terminal = std::make_unique<FakeTapTerminal>(options);
  StartServer(2, pty.SlavePath(), *terminal);
  std::string row;
  const std::string result = SubmitAndWait(CT_DIRECT_TAP, ",,80,9600,\"8,N,1\"", row);
  EXPECT_EQ(result, "MESSAGE_SENT 17," + row);
  ExpectOneCorrectBlock();
}

} // namespace
} // namespace voxmit::test
