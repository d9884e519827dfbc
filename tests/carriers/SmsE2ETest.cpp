// The built server as a process: a client submits a message for the GSM SMS carrier, the
// server sends it through the fake GSM modem on a pty, the modem decodes it, and the client
// hears MESSAGE_SENT, or the error code of a network refusal, a silent modem or a refused PIN.

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>

#include <Poco/Data/Session.h>

#include "common/ServerTypes.h"
#include "store/DbSession.h"
#include "support/FakeGsmModem.h"
#include "support/ProtocolClient.h"
#include "support/PtyPair.h"
#include "support/ServerProcess.h"
#include "support/TempHome.h"

using namespace std::chrono_literals;
using namespace Poco::Data::Keywords;

namespace voxmit::test {
namespace {

class SmsE2E : public ::testing::Test {
protected:
  void SetUp() override {
    CreateTestDatabase(home.Path());
    port = FreeTcpPort();
    home.Write("Settings.ini", "[Connections]\nPortNo=" + std::to_string(port) +
                                   "\n[Threads]\nSchedulerRequeryPeriod=500\n"
                                   "SentConfirmationsRequeryPeriod=300\nThreadWaitLoopTimeout=200\n"
                                   "[Modem]\nDtrHangupDelay=10\nModemResponseTimeout=1000\n"
                                   "ModemDisconnectTimeout=2000\n");
  }

  void TearDown() override {
    if (server && server->Running()) {
      server->Signal(SIGTERM);
      EXPECT_EQ(server->WaitExit(60s), 0);
    }
    if (line) line->Stop();
  }

  // One GSM modem device on the pty in the given mode, the modem on the line, then the server.
  void StartServer(bool pdu, FakeGsmModem::Options options = {}) {
    modem = std::make_unique<FakeGsmModem>(std::move(options));
    std::string settings = pty.SlavePath() + ",3,0," + (pdu ? "1" : "0");
    std::string name = "Gsm1";
    int32_t typeNo = 3;
    auto db = OpenDbSession(home.File("ServerData.db"));
    db << "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES (?, ?, ?)", use(typeNo),
        use(settings), use(name), now;
    line = std::make_unique<PtyLine>(pty, *modem);
    line->Start();
    server = std::make_unique<TServerProcess>(
        home.Path(), std::vector<std::string>{"--headless", "--home", home.Path().string()});
    server->Start();
    ASSERT_TRUE(server->WaitForStdout("VoxmitServer - Running")) << server->Stderr();
  }

  // Logs on, submits one message, and returns the result reply's keyword and data, with the
  // stored row's ID in row.
  std::string SubmitAndWait(const std::string& settings, const std::string& pager,
                            const std::string& text, std::string& row) {
    TProtocolClient client(static_cast<uint16_t>(port));
    client.Logon(client::NewClientGuid(), "Test client");
    auto reply = client.ReadReply(10s);
    if (!reply || reply->Keyword != "LOGON_OK") return "no logon";
    client.SendMessage(17, CT_GSM_SMS, settings, pager, text);
    auto accepted = client.ReadReply(10s);
    if (!accepted || accepted->Keyword != "MESSAGE_ACCEPTED") return "not accepted";
    row = accepted->Fields.at(1);
    // Notices to every client (device trouble) may come first.
    auto result = client.ReadReply(60s);
    while (result && result->Keyword == "BROADCAST_MESSAGE") {
      notices.push_back(result->Data);
      result = client.ReadReply(60s);
    }
    return result ? result->Keyword + " " + result->Data : "no result";
  }

  TempHome home;
  PtyPair pty;
  std::unique_ptr<FakeGsmModem> modem;
  std::unique_ptr<PtyLine> line;
  int port = 0;
  std::unique_ptr<TServerProcess> server;
  std::vector<std::string> notices;
};

struct TModeCase {
  const char* Name;
  bool Pdu;
  bool Unicode;
  std::string Text;   // Windows-1252, as the client sends it
  std::string Shown;  // UTF-8, as the handset shows it
  FakeSms::Coding Coding;
};

class SmsE2EModes : public SmsE2E, public testing::WithParamInterface<TModeCase> {};

TEST_P(SmsE2EModes, ClientMessageReachesTheModemAndIsReportedSent) {
  const TModeCase& c = GetParam();
  StartServer(c.Pdu);
  std::string row;
  const std::string settings =
      std::string("+4412,,160,9600,\"8,N,1\",") + (c.Unicode ? "true" : "false");
  const std::string result = SubmitAndWait(settings, "+447700900123", c.Text, row);
  EXPECT_EQ(result, "MESSAGE_SENT 17," + row) << server->Stderr();
  const auto messages = modem->Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].mode, c.Pdu ? FakeSms::Mode::Pdu : FakeSms::Mode::Text);
  EXPECT_EQ(messages[0].destination, "+447700900123");
  EXPECT_EQ(messages[0].typeOfAddress, 145);
  EXPECT_EQ(messages[0].coding, c.Coding);
  EXPECT_EQ(messages[0].text, c.Shown);
  EXPECT_EQ(messages[0].serviceCentre, "+4412");
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SmsE2EModes,
    testing::Values(TModeCase{"Text7Bit", false, false, "Boiler room alarm", "Boiler room alarm",
                              FakeSms::Coding::SevenBit},
                    TModeCase{"TextUcs2", false, true, "Gr\xFC\xDF" "e \x80",
                              "Gr\u00FC\u00DFe \u20AC", FakeSms::Coding::Ucs2},
                    TModeCase{"Pdu7Bit", true, false, "Boiler room alarm", "Boiler room alarm",
                              FakeSms::Coding::SevenBit},
                    TModeCase{"PduUcs2", true, true, "Gr\xFC\xDF" "e \x80",
                              "Gr\u00FC\u00DFe \u20AC", FakeSms::Coding::Ucs2}),
    [](const testing::TestParamInfo<TModeCase>& info) { return std::string(info.param.Name); });

const std::string kPlain = ",,160,9600,\"8,N,1\",false";

TEST_F(SmsE2E, NetworkRefusalIsRetriedThenReportedAsRetriesExceeded) {
  StartServer(true);
  modem->SetDefaultSendAnswer({FakeSmsAnswer::Kind::CmsError, 38, 0ms});
  std::string row;
  EXPECT_EQ(SubmitAndWait(kPlain, "+123", "Test", row),
            "MESSAGE_SEND_ERROR 17,2, Error Sending this Message.");
  // MessageRetries (3) retries after the first attempt.
  EXPECT_EQ(modem->Submissions().size(), 4u);
  EXPECT_TRUE(modem->Messages().empty());
}

TEST_F(SmsE2E, SilentModemIsReportedAsNoDevice) {
  StartServer(false);
  modem->SetSwitchedOff(true);
  std::string row;
  EXPECT_EQ(SubmitAndWait(kPlain, "+123", "Hi", row),
            "MESSAGE_SEND_ERROR 17,7, Error Sending this Message.");
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find("Server has problem initializing one of the Devices (device 'Gsm1')"),
            std::string::npos);
}

TEST_F(SmsE2E, RefusedPinIsReportedAsLogonError) {
  FakeGsmModem::Options options;
  options.simPin = "1234";
  StartServer(false, options);
  std::string row;
  EXPECT_EQ(SubmitAndWait(",4321,160,9600,\"8,N,1\",false", "+123", "Hi", row),
            "MESSAGE_SEND_ERROR 17,5, Error Sending this Message.");
  EXPECT_EQ(modem->PinsEntered(), std::vector<std::string>{"4321"});
  EXPECT_TRUE(modem->Submissions().empty());
}

} // namespace
} // namespace voxmit::test
