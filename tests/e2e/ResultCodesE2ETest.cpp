// The whole road through the built server: a client submits, the scheduler gives the carrier
// a device, a channel sends (the server's test channel, scripted by its carrier settings), the
// result is recorded and reported back, all without operator help.

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <string>

#include <Poco/Data/Session.h>
#include <gtest/gtest.h>

#include "store/DbSession.h"
#include "support/ProtocolClient.h"
#include "support/ServerProcess.h"
#include "support/TempHome.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;
using namespace Poco::Data::Keywords;
using voxmit::test::TProtocolClient;

namespace voxmit::test {
namespace {

class ResultCodesE2E : public ::testing::Test {
protected:
  void SetUp() override {
    CreateTestDatabase(home.Path());
    // One IP network device: it serves carrier types 5 to 10. No modem exists.
    OpenDbSession(home.File("ServerData.db"))
        << "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES (4, '', 'net1')", now;
    port = FreeTcpPort();
    home.Write("Settings.ini", "[Connections]\nPortNo=" + std::to_string(port) +
                                   "\n[Threads]\nSchedulerRequeryPeriod=300\n"
                                   "SentConfirmationsRequeryPeriod=300\nThreadWaitLoopTimeout=200\n"
                                   "[Channels]\nMessageRetries=1\n");
    // The child inherits it: carrier type 5 is served by the scripted test channel.
    ::setenv("VOXMIT_TEST_CHANNELS", "5", 1);
    server = std::make_unique<TServerProcess>(
        home.Path(), std::vector<std::string>{"--headless", "--home", home.Path().string()});
    server->Start();
    ::unsetenv("VOXMIT_TEST_CHANNELS");
    ASSERT_TRUE(server->WaitForStdout("VoxmitServer - Running")) << server->Stderr();
  }

  void TearDown() override {
    if (server && server->Running()) {
      server->Signal(SIGTERM);
      EXPECT_EQ(server->WaitExit(60s), 0);
    }
  }

  TempHome home{false};
  int port = 0;
  std::unique_ptr<TServerProcess> server;
};

TEST_F(ResultCodesE2E, EveryMessageEndsWithItsResultReportedAndConfirmed) {
  struct Case {
    const char* name;
    int carrierType;
    std::string settings;
    std::string pager;
    std::string expected;  // the reply's data text
  };
  // Record IDs are the row index + 1; a send error's data is "rid,code, Error Sending...".
  const Case cases[] = {
      {"sent", 5, "", "100", "MESSAGE_SENT"},
      {"rejected for good", 5, "abandon=200", "200", "2,1, Error Sending this Message."},
      {"refused every time", 5, "retry=300", "300", "3,2, Error Sending this Message."},
      {"no connection", 5, "connect=1", "400", "4,3, Error Sending this Message."},
      {"no logon request", 5, "connect=2", "500", "5,4, Error Sending this Message."},
      {"logon refused", 5, "connect=3", "600", "6,5, Error Sending this Message."},
      {"no port", 5, "port=fail", "700", "7,6, Error Sending this Message."},
      {"device silent", 5, "device=fail", "800", "8,7, Error Sending this Message."},
      {"no device for the kind", 2, "PACNET", "900", "9,8, Error Sending this Message."},
      // Split in parts of 20: the first part goes out, a later one is refused. The client
      // must hear of the failure, not of the first part's success.
      {"later part refused", 5, "maxlen=20,abandontext=BAD", "1000",
       "10,1, Error Sending this Message."},
  };

  TProtocolClient client(static_cast<uint16_t>(port));
  const std::string guid = "{6F9619FF-8B86-D011-B42D-00C04FC964FF}";
  client.Logon(guid, "Dispatch test");
  auto logon = client.ReadReply(10s);
  ASSERT_TRUE(logon && logon->Keyword == "LOGON_OK");

  std::map<int, int> serverIDs;  // record ID -> Messages.ID
  for (int i = 0; i < static_cast<int>(std::size(cases)); ++i) {
    const Case& c = cases[i];
    const std::string text = c.pager == "1000" ? "first part is fine then comes BAD news"
                                               : std::string("page ") + c.name;
    client.SendMessage(i + 1, c.carrierType, c.settings, c.pager, text);
  }

  std::map<int, std::string> results;  // record ID -> keyword and data
  ASSERT_TRUE(WaitUntil([&] {
    while (auto reply = client.ReadReply(100ms)) {
      if (reply->Keyword == "MESSAGE_ACCEPTED") {
        serverIDs[std::stoi(reply->Fields.at(0))] = std::stoi(reply->Fields.at(1));
      } else if (reply->Keyword == "MESSAGE_SENT") {
        results[std::stoi(reply->Fields.at(0))] = "MESSAGE_SENT " + reply->Data;
      } else if (reply->Keyword == "MESSAGE_SEND_ERROR") {
        results[std::stoi(reply->Fields.at(0))] = reply->Data;
      }
    }
    return results.size() == std::size(cases);
  }, 90s)) << "results so far: " << results.size() << "\n" << server->Stdout();

  for (int i = 0; i < static_cast<int>(std::size(cases)); ++i) {
    const Case& c = cases[i];
    const int rid = i + 1;
    ASSERT_TRUE(serverIDs.count(rid)) << c.name;
    if (c.expected == "MESSAGE_SENT")
      EXPECT_EQ(results[rid], "MESSAGE_SENT " + std::to_string(rid) + "," + std::to_string(serverIDs[rid]))
          << c.name;
    else
      EXPECT_EQ(results[rid], c.expected) << c.name;
  }

  // Every message left the queue exactly once, and every result is marked as reported.
  auto db = OpenDbSession(home.File("ServerData.db"));
  int pending = -1, finished = -1, unconfirmed = -1;
  db << "SELECT COUNT(*) FROM Messages", into(pending), now;
  db << "SELECT COUNT(*) FROM SentMessages", into(finished), now;
  EXPECT_EQ(pending, 0);
  EXPECT_EQ(finished, static_cast<int>(std::size(cases)));
  ASSERT_TRUE(WaitUntil([&] {
    db << "SELECT COUNT(*) FROM SentMessages WHERE SendConfirmed = 0", into(unconfirmed), now;
    return unconfirmed == 0;
  }));
}

} // namespace
} // namespace voxmit::test
