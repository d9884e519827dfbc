// What an operator sees of a running server: the start and stop lines, the status endpoint
// scraped while messages go out through the test channel, and the device commands refusing
// to edit under a running server.

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include <Poco/Data/Session.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/StreamCopier.h>
#include <gtest/gtest.h>

#include "store/DbSession.h"
#include "support/ProtocolClient.h"
#include "support/ServerProcess.h"
#include "support/TempHome.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;
using namespace Poco::Data::Keywords;

namespace voxmit::test {
namespace {

struct HttpAnswer {
  int Status = 0;
  std::string Body;
};

HttpAnswer Get(int port, const std::string& path) {
  Poco::Net::HTTPClientSession session("127.0.0.1", static_cast<uint16_t>(port));
  session.setTimeout(Poco::Timespan(10, 0));
  Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, path,
                                 Poco::Net::HTTPMessage::HTTP_1_1);
  session.sendRequest(request);
  Poco::Net::HTTPResponse response;
  std::istream& in = session.receiveResponse(response);
  HttpAnswer answer{static_cast<int>(response.getStatus()), {}};
  Poco::StreamCopier::copyToString(in, answer.Body);
  return answer;
}

// The value of one sample line of a metrics text ("name{labels}"), or -1 when absent.
long long Metric(const std::string& text, const std::string& sample) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind(sample + " ", 0) == 0) return std::stoll(line.substr(sample.size() + 1));
  return -1;
}

class OperationsE2E : public ::testing::Test {
protected:
  void SetUp() override {
    CreateTestDatabase(home.Path());
    OpenDbSession(home.File("ServerData.db"))
        << "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES (4, '127.0.0.1,1,0', 'net1')",
        now;
    port = FreeTcpPort();
    statusPort = FreeTcpPort();
    home.Write("Settings.ini", "[Connections]\nPortNo=" + std::to_string(port) +
                                   "\n[Threads]\nSchedulerRequeryPeriod=300\n"
                                   "ThreadWaitLoopTimeout=200\n[Channels]\nMessageRetries=1\n"
                                   "[Status]\nHttpPort=" + std::to_string(statusPort) + "\n");
    ::setenv("VOXMIT_TEST_CHANNELS", "5", 1);
    server = std::make_unique<TServerProcess>(
        home.Path(), std::vector<std::string>{"--headless", "--home", home.Path().string()});
    server->Start();
    ::unsetenv("VOXMIT_TEST_CHANNELS");
    ASSERT_TRUE(server->WaitForStdout("VoxmitServer - Running")) << server->Stderr();
    ASSERT_TRUE(server->WaitForStdout("Status: listening")) << server->Stdout();
  }

  void TearDown() override {
    if (server && server->Running()) {
      server->Signal(SIGTERM);
      EXPECT_EQ(server->WaitExit(60s), 0);
    }
  }

  TempHome home{false};
  int port = 0;
  int statusPort = 0;
  std::unique_ptr<TServerProcess> server;
};

TEST_F(OperationsE2E, StatusIsScrapedWhileMessagesGoOutAndTheRunReportsItsCounts) {
  EXPECT_EQ(Get(statusPort, "/health").Status, 200);
  EXPECT_EQ(Get(statusPort, "/nothing").Status, 404);

  // Scrapes all along the run; every answer must be a whole, well-formed metrics text.
  std::atomic<bool> scraping{true};
  std::atomic<int> scrapes{0}, badScrapes{0};
  std::thread scraper([&] {
    while (scraping) {
      try {
        const HttpAnswer a = Get(statusPort, "/metrics");
        if (a.Status != 200 || Metric(a.Body, "voxmit_up") != 1 ||
            Metric(a.Body, "voxmit_database_size_bytes") <= 0)
          ++badScrapes;
        ++scrapes;
      } catch (const std::exception&) {
        ++badScrapes;
      }
    }
  });

  TProtocolClient client(static_cast<uint16_t>(port));
  client.Logon("{6F9619FF-8B86-D011-B42D-00C04FC964FF}", "Operations test");
  auto logon = client.ReadReply(10s);
  ASSERT_TRUE(logon && logon->Keyword == "LOGON_OK");

  // 30 messages, slowed a little so the queue and the device show while they go; every
  // third one is rejected for good (result code 1).
  constexpr int kMessages = 30;
  for (int i = 1; i <= kMessages; ++i)
    client.SendMessage(i, 5, "delay=50,abandon=666", i % 3 == 0 ? "666" : "100",
                       "page " + std::to_string(i));
  int results = 0;
  bool sawDeviceInUse = false, sawPending = false;
  ASSERT_TRUE(WaitUntil([&] {
    while (auto reply = client.ReadReply(50ms))
      if (reply->Keyword == "MESSAGE_SENT" || reply->Keyword == "MESSAGE_SEND_ERROR") ++results;
    if (!sawDeviceInUse || !sawPending) {
      const std::string text = Get(statusPort, "/metrics").Body;
      sawDeviceInUse |= Metric(text, "voxmit_devices_in_use{kind=\"IP network\"}") == 1;
      sawPending |= Metric(text, "voxmit_pending_messages{carrier_type=\"5\"}") > 0;
    }
    return results == kMessages;
  }, 90s)) << results << " results\n" << server->Stdout();

  // The counts settle once the last results are in (the text is shared for half a second, and
  // a result is counted a moment before its transaction commits).
  std::string metrics;
  EXPECT_TRUE(WaitUntil([&] {
    metrics = Get(statusPort, "/metrics").Body;
    return Metric(metrics, "voxmit_messages_sent_total") == 20 &&
           Metric(metrics, "voxmit_messages_failed_total{code=\"1\"}") == 10 &&
           Metric(metrics, "voxmit_pending_messages{carrier_type=\"5\"}") == -1;
  }, 10s)) << metrics;
  EXPECT_EQ(Metric(metrics, "voxmit_messages_accepted_total"), kMessages) << metrics;
  EXPECT_EQ(Metric(metrics, "voxmit_connected_clients"), 1) << metrics;
  EXPECT_EQ(Metric(metrics, "voxmit_devices{kind=\"IP network\"}"), 1) << metrics;
  EXPECT_EQ(Metric(metrics, "voxmit_input_queue_depth"), 0) << metrics;
  EXPECT_TRUE(sawDeviceInUse);
  EXPECT_TRUE(sawPending);

  scraping = false;
  scraper.join();
  EXPECT_GT(scrapes.load(), 10);
  EXPECT_EQ(badScrapes.load(), 0);

  // From the stop request on, monitoring hears that the server is going.
  server->Signal(SIGTERM);
  HttpAnswer health;
  EXPECT_TRUE(WaitUntil([&] {
    try {
      health = Get(statusPort, "/health");
    } catch (const std::exception&) {
    }
    return health.Status == 503;
  }, 10s));
  EXPECT_EQ(health.Body, "stopping\n");
  ASSERT_EQ(server->WaitExit(60s), 0);
  const std::string out = server->Stdout();
  EXPECT_TRUE(std::regex_search(
      out, std::regex("VoxmitServer2 2\\.0\\.0 started: home \"[^\"]+\", database \"[^\"]+"
                      "ServerData\\.db\", port " + std::to_string(port) +
                      ", 1 device \\(IP network: 1\\), carrier classes: .*TChannelTest \\(5\\)")))
      << out;
  EXPECT_NE(out.find("VoxmitServer2 stopped: 30 messages stored, 20 sent, 10 failed during this run"),
            std::string::npos)
      << out;
}

TEST_F(OperationsE2E, ClientsThatKeepTheirConnectionsDoNotStarveOthers) {
  // More clients than the endpoint has workers, each asking again on its own session (kept
  // alive where the server allows it): every request is answered, none waits its timeout out.
  std::vector<std::unique_ptr<Poco::Net::HTTPClientSession>> sessions;
  for (int i = 0; i < 4; ++i) {
    sessions.push_back(std::make_unique<Poco::Net::HTTPClientSession>(
        "127.0.0.1", static_cast<uint16_t>(statusPort)));
    sessions.back()->setKeepAlive(true);
    sessions.back()->setTimeout(Poco::Timespan(3, 0));
  }
  for (int round = 0; round < 3; ++round) {
    for (auto& session : sessions) {
      Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, "/health",
                                     Poco::Net::HTTPMessage::HTTP_1_1);
      request.setKeepAlive(true);
      session->sendRequest(request);
      Poco::Net::HTTPResponse response;
      std::string body;
      ASSERT_NO_THROW(Poco::StreamCopier::copyToString(session->receiveResponse(response), body))
          << "round " << round;
      EXPECT_EQ(body, "running\n");
    }
  }
}

TEST_F(OperationsE2E, DeviceCommandsKnowTheServerRunsOnTheirDatabase) {
  const std::vector<std::string> home_ = {"--home", home.Path().string()};
  auto command = [&](std::vector<std::string> args, std::string* err) {
    args.insert(args.end(), home_.begin(), home_.end());
    return RunServerCommand(args, nullptr, err, home.Path() / "run");
  };
  std::string err;
  EXPECT_EQ(command({"devices", "remove", "1"}, &err), 1);
  EXPECT_NE(err.find("a server is running on"), std::string::npos) << err;
  EXPECT_EQ(command({"devices", "add", "--name", "net2", "--kind", "4", "--settings",
                     "127.0.0.1,2,1"}, &err), 0) << err;
  // Another runtime folder has no server in it.
  EXPECT_EQ(RunServerCommand({"devices", "edit", "2", "--name", "net3", "--home",
                              home.Path().string()}, nullptr, &err, home.Path()), 0) << err;
}

} // namespace
} // namespace voxmit::test
