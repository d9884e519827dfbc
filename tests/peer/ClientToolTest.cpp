#include "tools/ClientTool.h"

#include <Poco/Net/ServerSocket.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "peer/FakeServer.h"

namespace voxmit::client {
namespace {

using namespace std::chrono_literals;
using test::TFakeServer;
using testing::HasSubstr;
using testing::MatchesRegex;

std::string Frame(const std::string& body) { return "\r\n\r" + body + "\r\v\r"; }

// The tool runs on its own thread against the fake server driven by the test's thread.
class ClientToolTest : public testing::Test {
protected:
  void Start(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", std::to_string(server_.Port())});
    run_ = std::async(std::launch::async, [this, args] {
      return RunClientTool(args, out_, err_, stop_);
    });
    server_.Accept();
  }

  int ExitCode() {
    if (run_.wait_for(20s) != std::future_status::ready) {
      stop_ = true;
      ADD_FAILURE() << "the tool did not end";
    }
    return run_.get();
  }

  TFakeServer server_;
  std::ostringstream out_, err_;
  std::atomic<bool> stop_{false};
  std::future<int> run_;
};

struct TSendCase {
  std::string Name;
  std::string BeforeMessage; // sent with LOGON_OK, before the message is read
  std::string AfterMessage;  // sent once the message has arrived
  bool CloseAfter;
  int ExitCode;
  friend void PrintTo(const TSendCase& c, std::ostream* os) { *os << c.Name; }
};

class ClientToolSendTest : public ClientToolTest, public testing::WithParamInterface<TSendCase> {};

TEST_P(ClientToolSendTest, EndsWithTheMessagesOutcome) {
  const TSendCase& c = GetParam();
  Start({"--wait", "2", "send", "5", "smtp.example,25", "pager@example", "hello world"});

  EXPECT_THAT(server_.ReceiveFrame(),
              MatchesRegex("\r\n\rLOGON,\\{[0-9A-F-]{36}\\},voxmit-client\r\v\r"));
  server_.Send(Frame("LOGON_OK") + c.BeforeMessage);
  EXPECT_EQ(server_.ReceiveFrame(),
            Frame("MESSAGE,1,5,\"smtp.example,25\",pager@example,\"hello world\""));
  server_.Send(c.AfterMessage);
  if (c.CloseAfter) server_.Close();

  EXPECT_EQ(ExitCode(), c.ExitCode) << "out:\n" << out_.str() << "err:\n" << err_.str();
  EXPECT_THAT(out_.str(), HasSubstr("LOGON_OK\n"));
}

const std::string Accepted = Frame("MESSAGE_ACCEPTED,\"1,4711\"");

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ClientToolSendTest,
    testing::Values(
        TSendCase{"Sent", "", Accepted + Frame("MESSAGE_SENT,\"1,4711\""), false, tecSent},
        TSendCase{"SendError", "",
                  Accepted + Frame("MESSAGE_SEND_ERROR,\"1,3, Error Sending this Message.\""),
                  false, tecSendError},
        TSendCase{"AcceptError", "", Frame("MESSAGE_ACCEPT_ERROR,\"1,1,Formatting Error\""),
                  false, tecSendError},
        // A result of an earlier run with the same GUID and record ID, and a sent result of
        // another row, must not end the run.
        TSendCase{"EarlierResultsAreOnlyPrinted",
                  Frame("MESSAGE_SEND_ERROR,\"1,3, Error Sending this Message.\""),
                  Accepted + Frame("MESSAGE_SENT,\"1,99\"") + Frame("MESSAGE_SENT,\"1,4711\""),
                  false, tecSent},
        TSendCase{"ClosedBeforeTheResult", "", Accepted, true, tecUsage},
        TSendCase{"NoResultWithinTheWait", "", Accepted, false, tecTimeOut}),
    [](const testing::TestParamInfo<TSendCase>& info) { return info.param.Name; });

TEST_F(ClientToolTest, PrintsEveryReplyWithItsData) {
  Start({"--id", "8", "--wait", "5", "send", "1", "s", "p", "t"});
  server_.ReceiveFrame();
  server_.Send(Frame("LOGON_OK") +
               Frame("BROADCAST_MESSAGE,\"From VoxmitServer (Host: h, IP: , Port: 1) : x\""));
  EXPECT_EQ(server_.ReceiveFrame(), Frame("MESSAGE,8,1,s,p,t"));
  server_.Send(Frame("MESSAGE_ACCEPTED,\"8,2\"") + Frame("MESSAGE_SENT,\"8,2\""));

  EXPECT_EQ(ExitCode(), tecSent);
  EXPECT_THAT(out_.str(), MatchesRegex("GUID \\{[0-9A-F-]{36}\\}\n"
                                       "LOGON_OK\n"
                                       "BROADCAST_MESSAGE From VoxmitServer \\(Host: h, IP: , "
                                       "Port: 1\\) : x\n"
                                       "MESSAGE_ACCEPTED 8,2\n"
                                       "MESSAGE_SENT 8,2\n"));
}

TEST_F(ClientToolTest, DeniedLogonIsAConnectionError) {
  Start({"--guid", "bad guid", "send", "1", "s", "p", "t"});
  EXPECT_EQ(server_.ReceiveFrame(), Frame("LOGON,\"bad guid\",voxmit-client"));
  server_.Send(Frame("LOGON_DENIED,4,\"Wrong LogOn Message Format\""));
  server_.Close();
  EXPECT_EQ(ExitCode(), tecUsage);
}

TEST_F(ClientToolTest, ListenPrintsRepliesUntilTheWaitRunsOut) {
  Start({"--guid", "{ABC}", "--wait", "1", "listen"});
  EXPECT_EQ(server_.ReceiveFrame(), Frame("LOGON,{ABC},voxmit-client"));
  server_.Send(Frame("LOGON_OK") + Frame("MESSAGE_SENT,\"3,10\""));
  EXPECT_EQ(ExitCode(), tecSent);
  EXPECT_EQ(out_.str(), "GUID {ABC}\nLOGON_OK\nMESSAGE_SENT 3,10\n");
}

TEST_F(ClientToolTest, ListenEndsWhenStopped) {
  Start({"listen"});
  server_.ReceiveFrame();
  stop_ = true;
  EXPECT_EQ(ExitCode(), tecSent);
}

TEST(ClientToolUsage, BadArgumentsAndNoServerAreUsageErrors) {
  std::uint16_t closedPort = 0;
  {
    Poco::Net::ServerSocket probe(Poco::Net::SocketAddress("127.0.0.1", 0));
    closedPort = probe.address().port();
  }
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"send", "1", "s", "p"},
      {"send", "tap", "s", "p", "t"},
      {"listen", "extra"},
      {"--port", "x", "listen"},
      {"--wait", "0", "listen"},
      {"--bogus", "1", "listen"},
      {"--port"},
      {"--port", std::to_string(closedPort), "listen"},
  };
  const std::atomic<bool> stop{false};
  for (const auto& args : cases) {
    std::ostringstream out, err;
    EXPECT_EQ(RunClientTool(args, out, err, stop), tecUsage) << testing::PrintToString(args);
    EXPECT_FALSE(err.str().empty()) << testing::PrintToString(args);
  }
}

} // namespace
} // namespace voxmit::client
