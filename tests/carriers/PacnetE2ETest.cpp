// The built server as a process: a client submits a PACNET message, the server dials the fake
// modem on a pty, the fake PAD puts the call through to its paging service, and the client
// hears the result the service's answer stands for.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <Poco/Data/Session.h>

#include "common/ServerTypes.h"
#include "store/DbSession.h"
#include "support/FakeModem.h"
#include "support/FakePacnetPad.h"
#include "support/ProtocolClient.h"
#include "support/PtyPair.h"
#include "support/ServerProcess.h"
#include "support/TempHome.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;
using namespace Poco::Data::Keywords;

namespace voxmit::test {
namespace {

const std::string kSettings = "5551234,120,9600,\"8,N,1\",VOXNET,311020100";

class PacnetE2E : public ::testing::Test {
protected:
  void SetUp() override {
    CreateTestDatabase(home.Path());
    port = FreeTcpPort();
  }

  void TearDown() override {
    if (server && server->Running()) {
      server->Signal(SIGTERM);
      EXPECT_EQ(server->WaitExit(60s), 0);
    }
    if (line) line->Stop();
  }

  // One modem on the pty with the PAD behind it, then the server with short time-outs (the
  // herald's unless given).
  void StartServer(const std::string& heraldTimeout = "1500") {
    home.Write("Settings.ini", "[Connections]\nPortNo=" + std::to_string(port) +
                                   "\n[Threads]\nSchedulerRequeryPeriod=500\n"
                                   "SentConfirmationsRequeryPeriod=300\nThreadWaitLoopTimeout=200\n"
                                   "[Modem]\nDtrHangupDelay=10\nModemResponseTimeout=1000\n"
                                   "ModemConnectTimeout=5000\nModemDisconnectTimeout=3000\n"
                                   "[Channels]\nLogonRetries=0\nMessageRetries=3\n"
                                   "[PACNET]\nHeraldTimeoutPACNET=" + heraldTimeout +
                                   "\nLogonTimeoutPACNET=1500\nSendMessageTimeoutPACNET=1500\n");
    modem.SetPeer(pad.get());
    std::string settings = pty.SlavePath() + ",ATQ0V1M1E0X4,,false,1,1";
    std::string name = "Modem1";
    int32_t typeNo = 1;
    {
      // Closed before the server starts: the start compacts the file only when nobody else
      // has it open.
      auto db = OpenDbSession(home.File("ServerData.db"));
      db << "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES (?, ?, ?)", use(typeNo),
          use(settings), use(name), now;
    }
    line = std::make_unique<PtyLine>(pty, modem);
    line->Start();
    server = std::make_unique<TServerProcess>(
        home.Path(), std::vector<std::string>{"--headless", "--home", home.Path().string()});
    server->Start();
    ASSERT_TRUE(server->WaitForStdout("VoxmitServer - Running")) << server->Stderr();
  }

  // Logs on and submits one message; the client stays connected for its result.
  std::string Submit(TProtocolClient& client, const std::string& pager, const std::string& text,
                     std::string& row) {
    client.Logon(client::NewClientGuid(), "Test client");
    auto reply = client.ReadReply(10s);
    if (!reply || reply->Keyword != "LOGON_OK") return "no logon";
    client.SendMessage(17, CT_PACNET, kSettings, pager, text);
    auto accepted = client.ReadReply(10s);
    if (!accepted || accepted->Keyword != "MESSAGE_ACCEPTED") return "not accepted";
    row = accepted->Fields.at(1);
    return "accepted";
  }

  // The result reply's keyword and data.
  std::string SubmitAndWait(const std::string& pager, const std::string& text, std::string& row) {
    TProtocolClient client(static_cast<uint16_t>(port));
    const std::string accepted = Submit(client, pager, text, row);
    if (accepted != "accepted") return accepted;
    auto result = client.ReadReply(60s);
    return result ? result->Keyword + " " + result->Data : "no result";
  }

  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    for (const auto& l : pad->Lines()) lines.push_back(l.bytes);
    return lines;
  }

  TempHome home;
  PtyPair pty;
  std::unique_ptr<FakePacnetPad> pad = std::make_unique<FakePacnetPad>();
  FakeModem modem;
  std::unique_ptr<PtyLine> line;
  int port = 0;
  std::unique_ptr<TServerProcess> server;
};

FakePacnetPad::Options NoHerald() {
  FakePacnetPad::Options options;
  options.herald = "";
  return options;
}

struct TE2ECase {
  const char* Name;
  FakePacnetPad::Options Options;
  std::function<void(FakePacnetPad&)> Script;
  const char* Error;  // nullptr: MESSAGE_SENT; else the send error's code
  std::vector<std::string> Lines;
};

class PacnetE2EResult : public PacnetE2E, public testing::WithParamInterface<TE2ECase> {};

TEST_P(PacnetE2EResult, ClientHearsWhatTheServiceAnswered) {
  const TE2ECase& c = GetParam();
  pad = std::make_unique<FakePacnetPad>(c.Options);
  if (c.Script) c.Script(*pad);
  StartServer();
  std::string row;
  const std::string result = SubmitAndWait("1234", "HELLO", row);
  if (c.Error)
    EXPECT_EQ(result, "MESSAGE_SEND_ERROR 17," + std::string(c.Error) +
                          ", Error Sending this Message.");
  else
    EXPECT_EQ(result, "MESSAGE_SENT 17," + row) << server->Stdout();
  EXPECT_EQ(Lines(), c.Lines);
  EXPECT_EQ(modem.DialedNumbers().at(0), "5551234");
}

INSTANTIATE_TEST_SUITE_P(
    Answers, PacnetE2EResult,
    testing::Values(
        TE2ECase{"Sent", {}, nullptr, nullptr, {"1234@HELLO"}},
        TE2ECase{"SentWithHangUpCodeTogether", {},
                 [](FakePacnetPad& p) { p.QueueLineAnswer({"?00\r\n?92"}); }, nullptr,
                 {"1234@HELLO"}},
        TE2ECase{"Code90Abandoned", {}, [](FakePacnetPad& p) { p.QueueLineAnswer({"?90"}); }, "1",
                 {"1234@HELLO"}},
        TE2ECase{"Code99Retried", {}, [](FakePacnetPad& p) { p.QueueLineAnswer({"?99"}); }, nullptr,
                 {"1234@HELLO", "1234@HELLO"}},
        TE2ECase{"NoHerald", NoHerald(), nullptr, "4", {}},
        TE2ECase{"ClearedAtTheCall", {},
                 [](FakePacnetPad& p) { p.QueueCallAnswer({PacnetCallAnswer::Clear}); }, "5",
                 {}}),
    [](const testing::TestParamInfo<TE2ECase>& info) { return std::string(info.param.Name); });

TEST_F(PacnetE2E, LineArrivesAsPagerAtTextCrOnOneCall) {
  StartServer();
  std::string row;
  const std::string result = SubmitAndWait("1234", "HELLO", row);
  EXPECT_EQ(result, "MESSAGE_SENT 17," + row);
  EXPECT_EQ(pad->CallRequests(),
            (std::vector<FakePacnetPad::CallRequest>{{"VOXNET", "311020100"}}));
  ASSERT_TRUE(WaitUntil([&] { return pad->Clears() == 1; }));
  EXPECT_EQ(pad->Received(), "NVOXNET-311020100\r1234@HELLO\rCLR\r");
  EXPECT_EQ(modem.CallsConnected(), 1);
}

// A server stop while the channel waits for the herald (20 s) does not fail the message: it
// stays queued for the next start, and the server ends promptly.
TEST_F(PacnetE2E, StopDuringTheHeraldWaitKeepsTheMessage) {
  pad = std::make_unique<FakePacnetPad>(NoHerald());
  StartServer("20000");
  TProtocolClient client(static_cast<uint16_t>(port));
  std::string row;
  ASSERT_EQ(Submit(client, "1234", "HELLO", row), "accepted");
  ASSERT_TRUE(WaitUntil([&] { return modem.CallsConnected() == 1; }, 30s));
  std::this_thread::sleep_for(300ms);  // inside the 20 s wait

  const auto stoppedAt = std::chrono::steady_clock::now();
  server->Signal(SIGTERM);
  EXPECT_EQ(server->WaitExit(30s), 0);
  // The stop's own steps (the clients' notice and its one-second pause among them) and the
  // port's settle pause come on top of the interrupted wait.
  EXPECT_LT(std::chrono::steady_clock::now() - stoppedAt, 10s);

  auto db = OpenDbSession(home.File("ServerData.db"));
  int pending = -1, sending = -1, finished = -1;
  db << "SELECT COUNT(*) FROM Messages", into(pending), now;
  db << "SELECT COUNT(*) FROM Messages WHERE Sending <> 0", into(sending), now;
  db << "SELECT COUNT(*) FROM SentMessages", into(finished), now;
  EXPECT_EQ(pending, 1);
  EXPECT_EQ(sending, 0);
  EXPECT_EQ(finished, 0);
}

} // namespace
} // namespace voxmit::test
