// The built server as a process with the ACU carriers. ACU: a client's message goes out as
// datagrams to UDP listeners on loopback, and the client hears the result. The gatekeeper
// carrier: the server loads the fake terminal-network provider, which writes every call it
// receives to a file and reports the link as the test asks.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include <Poco/Data/Session.h>

#include "FakeOrvexnetServer.h"
#include "common/CommaText.h"
#include "common/ServerTypes.h"
#include "store/DbSession.h"
#include "support/ProtocolClient.h"
#include "support/ServerProcess.h"
#include "support/TempHome.h"
#include "support/UdpListener.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;
using namespace Poco::Data::Keywords;

namespace voxmit::test {
namespace {

class AcuE2E : public ::testing::Test {
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
    unsetenv("ORVEXNET_SERVER");
    unsetenv("ORVEXNET_FAKE_LOG");
    unsetenv("ORVEXNET_FAKE_LINK");
  }

  // One IP network device (ACU protocol, no host or port), then the server; a client logs on.
  void StartServer() {
    std::string settings = ",,4";
    std::string name = "Net1";
    int32_t typeNo = 4;
    {
      auto db = OpenDbSession(home.File("ServerData.db"));
      db << "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES (?, ?, ?)", use(typeNo),
          use(settings), use(name), now;
    }
    server = std::make_unique<TServerProcess>(
        home.Path(), std::vector<std::string>{"--headless", "--home", home.Path().string()});
    server->Start();
    ASSERT_TRUE(server->WaitForStdout("VoxmitServer - Running")) << server->Stderr();
    client = std::make_unique<TProtocolClient>(static_cast<uint16_t>(port));
    client->Logon(client::NewClientGuid(), "Test client");
    const auto reply = client->ReadReply(10s);
    ASSERT_TRUE(reply && reply->Keyword == "LOGON_OK");
  }

  // Submits one message and returns its result reply ("<keyword> <data>").
  std::string SendOne(int32_t id, int32_t carrierType, const std::string& settings,
                      const std::string& pagerID, const std::string& text) {
    client->SendMessage(id, carrierType, settings, pagerID, text);
    const auto accepted = client->ReadReply(10s);
    if (!accepted || accepted->Keyword != "MESSAGE_ACCEPTED") return "not accepted";
    row = accepted->Fields.at(1);
    const auto result = client->ReadReply(60s);
    return result ? result->Keyword + " " + result->Data : "no result";
  }

  static std::string Entry(const std::string& host, uint16_t remote) {
    return JoinCommaText({"unit", "x", host, std::to_string(remote), "0"});
  }
  static std::string AcuSettings(const std::vector<std::string>& entries,
                                 const std::string& limit = "1000") {
    return JoinCommaText({"1", "\\02", "\\03", limit, JoinCommaText(entries), ""});
  }

  TempHome home{false};
  int port = 0;
  std::unique_ptr<TServerProcess> server;
  std::unique_ptr<TProtocolClient> client;
  std::string row;  // the stored row of the last message accepted
};

TEST_F(AcuE2E, MessagesReachEveryListenerInBothFormsAndAreReportedSent) {
  UdpListener a, b;
  StartServer();
  const std::string settings =
      AcuSettings({Entry("127.0.0.1", a.Port()), Entry("127.0.0.1", b.Port())});
  const std::string first = SendOne(17, CT_ACU, settings, "1", "Fire in hall 3");
  EXPECT_EQ(first, "MESSAGE_SENT 17," + row) << server->Stderr();
  for (UdpListener* listener : {&a, &b}) {
    const auto datagram = listener->Receive(5s);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(datagram->Data, "TTS \x02" "Fire in hall 3\x03");
  }
  const std::string second = SendOne(18, CT_ACU, settings, "0,zone4", "Evacuate");
  EXPECT_EQ(second, "MESSAGE_SENT 18," + row);
  const auto ipp = b.Receive(5s);
  ASSERT_TRUE(ipp);
  EXPECT_EQ(ipp->Data, "IPP DATA zone4,\x02" "Evacuate\x03");
}

TEST_F(AcuE2E, LongTextsAreSplitAtTheLimitAndAnUnreachableDestinationGivesCode1) {
  UdpListener a;
  StartServer();
  std::string text;
  for (int i = 0; text.size() < 300; ++i) text += "word" + std::to_string(i) + " ";
  text.pop_back();
  const std::string split =
      SendOne(17, CT_ACU, AcuSettings({Entry("127.0.0.1", a.Port())}, "160"), "1", text);
  EXPECT_EQ(split, "MESSAGE_SENT 17," + row);
  // 300 characters in parts of at most 156, tag included.
  const auto parts = a.ReceiveAll(1s);
  ASSERT_EQ(parts.size(), 3u);
  for (const auto& part : parts) EXPECT_LE(part.Data.size(), 4 + 1 + 156 + 1u);

  EXPECT_EQ(SendOne(18, CT_ACU,
                    AcuSettings({Entry("no..such-host", 5000), Entry("127.0.0.1", a.Port())}),
                    "1", "Hello"),
            "MESSAGE_SEND_ERROR 18,1, Error Sending this Message.");
  const auto datagram = a.Receive(5s);
  ASSERT_TRUE(datagram);
  EXPECT_EQ(datagram->Data, "TTS \x02Hello\x03");
}

// The gatekeeper carrier: the calls the fake provider received in the server process.
class AcugkE2E : public AcuE2E {
protected:
  void UseFakeProvider(const std::string& link) {
    setenv("ORVEXNET_SERVER", FAKE_ORVEXNET_PATH, 1);
    setenv("ORVEXNET_FAKE_LOG", callLog().c_str(), 1);
    if (link.empty()) unsetenv("ORVEXNET_FAKE_LINK");
    else setenv("ORVEXNET_FAKE_LINK", link.c_str(), 1);
  }
  std::string callLog() const { return home.File("orvexnet-calls.txt").string(); }
  std::vector<orvex::fake::TCall> Calls(const std::string& method) const {
    std::vector<orvex::fake::TCall> out;
    std::ifstream in(callLog());
    for (std::string line; std::getline(in, line);) {
      const auto call = orvex::fake::ParseCall(line);
      if (call && call->Method == method) out.push_back(*call);
    }
    return out;
  }
  static std::string GkSettings(const std::vector<std::string>& terminals) {
    std::vector<std::string> entries;
    for (const auto& id : terminals) entries.push_back(JoinCommaText({"name", id}));
    return JoinCommaText({"5", "\\02", "\\03", "gk.local", "1720", "alpha", "beta", "3", "160",
                          JoinCommaText(entries), ""});
  }
};

TEST_F(AcugkE2E, WithTheLinkUpEveryTerminalGetsTheTextThroughTheLibrary) {
  UseFakeProvider("up");
  StartServer();
  const std::string result = SendOne(17, CT_ACUGK, GkSettings({"101", "202"}), "0,255,ab,cd", "Hi");
  EXPECT_EQ(result, "MESSAGE_SENT 17," + row) << server->Stderr();
  ASSERT_TRUE(WaitUntil([&] { return Calls("SendTextMessage").size() == 2; }, 10s));
  using orvex::fake::TArg;
  const auto hosts = Calls("Host");
  ASSERT_EQ(hosts.size(), 1u);
  EXPECT_EQ(hosts[0].Args, (std::vector<TArg>{u"alpha", u"beta", u"gk.local", 1720, 3}));
  const auto sends = Calls("SendTextMessage");
  EXPECT_EQ(sends[0].Args, (std::vector<TArg>{0, 101, u"I000000FFabcd\x02Hi"}));
  EXPECT_EQ(sends[1].Args, (std::vector<TArg>{1, 202, u"I000000FFabcd\x02Hi"}));
}

TEST_F(AcugkE2E, AStopEndsTheWaitForALinkThatNeverComesUp) {
  UseFakeProvider("");
  StartServer();
  client->SendMessage(17, CT_ACUGK, GkSettings({"101"}), "1", "Hi");
  const auto accepted = client->ReadReply(10s);
  ASSERT_TRUE(accepted && accepted->Keyword == "MESSAGE_ACCEPTED");
  ASSERT_TRUE(WaitUntil([&] { return Calls("Host").size() == 1; }, 30s)) << server->Stderr();
  // The channel now waits for the link (its bound is far off); a stop must not wait with it.
  const auto start = std::chrono::steady_clock::now();
  server->Signal(SIGTERM);
  EXPECT_EQ(server->WaitExit(20s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
  EXPECT_TRUE(Calls("SendTextMessage").empty());
}

} // namespace
} // namespace voxmit::test
