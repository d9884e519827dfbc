// MSG against a fake HTTP gateway on loopback: the request target as the gateway receives it
// (and the parameters its own URI reader decodes from it), the result of each message for each
// kind of answer, gateways that misbehave, and stops while the gateway is silent.

#include <gtest/gtest.h>

#include <Poco/URI.h>

#include "carriers/HttpGatewayFixture.h"
#include "support/ServerProcess.h"

namespace voxmit::test {
namespace {

using TQuickMSG = TTimed<TChannelMSG, kShortTimeoutMs>;
using F = FakeHttpServer;
using TParameters = std::vector<std::pair<std::string, std::string>>;

class MsgTest : public HttpGatewayFixture {
protected:
  // A URL without a host: the device's host (the fake gateway) stands and the path is "send".
  std::string Settings(const std::string& url = "send") { return url + "," + Port() + ",160"; }

  template <class T = TQuickMSG>
  TPart SendOne(const std::string& pagerID, const std::string& text,
                const std::string& settings = "") {
    auto channel = Launch<T>("TChannelMSG", CT_MSG, settings.empty() ? Settings() : settings);
    if (!channel) return nullptr;
    channel->EnqueueMessage(31, pagerID, text, 0);
    const auto parts = Collect(*channel, 1);
    return parts.empty() ? nullptr : parts[0];
  }

  // The query parameters of a request target, decoded by POCO's URI reader as a gateway would.
  static TParameters Parameters(const std::string& target) {
    return Poco::URI(target).getQueryParameters();
  }
};

TEST_F(MsgTest, TheGatewayReceivesTheExampleTargetAfterAProbeThatSendsNothing) {
  const auto device = Device();
  auto channel = Launch<TQuickMSG>("TChannelMSG", CT_MSG, Settings(), device);
  channel->EnqueueMessage(31, "A,B,C,D,E", "Hello world", 0);
  const auto parts = Collect(*channel, 1);
  ASSERT_EQ(parts.size(), 1u);
  const TPart part = parts[0];
  EXPECT_TRUE(part->Taken);
  EXPECT_EQ(part->SendError, MSE_OK);
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Method, "GET");
  EXPECT_EQ(requests[0].Target, "/send?id=B&to=A&from=C&text=Hello%20world&user=D&pass=E");
  EXPECT_EQ(requests[0].Header("Host"), "127.0.0.1:" + Port());
  // The probe connection and the request's own.
  EXPECT_EQ(server_.Connections(), 2u);
  EXPECT_TRUE(log_.Has("ChannelMSG, connect succeeded"));
  EXPECT_EQ(device->Activity(), "TChannelMSG - Sending Message");
}

struct TextCase {
  const char* name;
  std::string text;
  std::string wireText;  // the text parameter as it stands in the request target
};

class MsgTextTest : public MsgTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(MsgTextTest, ArrivesAsOneParameter) {
  const TextCase& c = GetParam();
  const TPart part = SendOne("A,B,C,D,E", c.text);
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->SendError, MSE_OK);
  ASSERT_EQ(server_.RequestCount(), 1u);
  const std::string target = server_.Requests()[0].Target;
  EXPECT_EQ(target, "/send?id=B&to=A&from=C&text=" + c.wireText + "&user=D&pass=E");
  EXPECT_EQ(Parameters(target),
            (TParameters{{"id", "B"}, {"to", "A"}, {"from", "C"}, {"text", c.text},
                         {"user", "D"}, {"pass", "E"}}));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MsgTextTest,
    ::testing::Values(
        // & and = of the text can neither add a parameter nor override one.
        TextCase{"AmpersandAndEquals", "a&b=c", "a%26b%3Dc"},
        TextCase{"OverrideAttempt", "hi&to=5559999", "hi%26to%3D5559999"},
        TextCase{"PlusHashSemicolon", "1+1;#2", "1%2B1%3B%232"},
        TextCase{"PerCent", "100%", "100%25"},
        TextCase{"EncodedTextEncodedAgain", "a%20b", "a%2520b"},
        TextCase{"HighByte", "caf\xE9", "caf%E9"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MsgTest, PagerIdItemsMayCarryFurtherGatewayParameters) {
  const TPart part = SendOne("A&priority=high,B,C,D,E", "x");
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->SendError, MSE_OK);
  ASSERT_EQ(server_.RequestCount(), 1u);
  EXPECT_EQ(Parameters(server_.Requests()[0].Target),
            (TParameters{{"id", "B"}, {"to", "A"}, {"priority", "high"}, {"from", "C"},
                         {"text", "x"}, {"user", "D"}, {"pass", "E"}}));
}

TEST_F(MsgTest, AGatewayUrlGivesItsHostAndPath) {
  const TPart part = SendOne("A,B,C,D,E", "x", "http://127.0.0.1/cgi/send.asp," + Port() + ",160");
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->SendError, MSE_OK);
  ASSERT_EQ(server_.RequestCount(), 1u);
  // "/" + path, the path keeping its leading slash.
  EXPECT_EQ(server_.Requests()[0].Target, "//cgi/?id=B&to=A&from=C&text=x&user=D&pass=E");
}

// ---- One message, each kind of gateway ------------------------------------------------------------

struct ResultCase {
  const char* name;
  std::vector<FakeHttpServer::TStep> script;
  TMessageSendError expected;
};

class MsgResultTest : public MsgTest, public ::testing::WithParamInterface<ResultCase> {};

TEST_P(MsgResultTest, OneMessage) {
  const ResultCase& c = GetParam();
  server_.SetScript(c.script);
  const auto start = std::chrono::steady_clock::now();
  const TPart part = SendOne("A,B,C,D,E", "hello");
  ASSERT_NE(part, nullptr) << "no result";
  EXPECT_TRUE(part->Taken);
  EXPECT_EQ(part->SendError, c.expected);
  EXPECT_EQ(server_.RequestCount(), 1u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

INSTANTIATE_TEST_SUITE_P(
    Gateways, MsgResultTest,
    ::testing::Values(ResultCase{"Accepted", {F::Answer(200)}, MSE_OK},
                      ResultCase{"Accepted299", {F::Answer(299)}, MSE_OK},
                      ResultCase{"Refused500", {F::Answer(500)}, MSE_ABANDONED},
                      ResultCase{"RedirectNotFollowed", {F::Answer(302)}, MSE_ABANDONED},
                      ResultCase{"Closed", {F::Do(TAct::Close)}, MSE_ABANDONED},
                      ResultCase{"HalfAnswer", {F::Do(TAct::HalfAnswer)}, MSE_ABANDONED},
                      ResultCase{"Garbage", {F::Do(TAct::Garbage)}, MSE_ABANDONED},
                      ResultCase{"OverlongStatusLine", {F::Do(TAct::OverlongStatusLine)},
                                 MSE_ABANDONED},
                      ResultCase{"OverlongHeader", {F::Do(TAct::OverlongHeader)}, MSE_ABANDONED},
                      ResultCase{"NeverAnswered", {F::Do(TAct::Hold)}, MSE_ABANDONED}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MsgTest, UnreachableOrUnnamedGatewaysAreNoConnection) {
  const std::string closedPort = std::to_string(FreeTcpPort());
  for (const std::string& settings :
       {"http://127.0.0.1/send," + closedPort + ",160", "http://no..such-host/send," + Port() + ",160",
        std::string("send,8o,160"), std::string("send,0,160")}) {
    const TPart part = SendOne("A,B,C,D,E", "hello", settings);
    ASSERT_NE(part, nullptr) << settings;
    EXPECT_EQ(part->SendError, MSE_NO_CONNECTION) << settings;
  }
  EXPECT_EQ(server_.Connections(), 0u);
  EXPECT_TRUE(log_.Has("ChannelMSG, connect failed"));
  EXPECT_TRUE(log_.Has("ChannelMSG, the port \"8o\" is not a TCP port number"));
}

TEST_F(MsgTest, APagerIdWithFewerThanFiveItemsFailsOnlyItsMessage) {
  auto channel = Launch<TQuickMSG>("TChannelMSG", CT_MSG, Settings());
  channel->EnqueueMessage(1, "A,B,C,D", "short", 0);
  channel->EnqueueMessage(2, "A,B,C,D,E", "whole", 0);
  const auto parts = Collect(*channel, 2);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0]->ID, 1);
  EXPECT_EQ(parts[0]->SendError, MSE_ABANDONED);
  EXPECT_EQ(parts[1]->ID, 2);
  EXPECT_EQ(parts[1]->SendError, MSE_OK);
  ASSERT_EQ(server_.RequestCount(), 1u);
  EXPECT_EQ(Parameters(server_.Requests()[0].Target)[3], (std::pair<std::string, std::string>{"text", "whole"}));
  EXPECT_TRUE(log_.Has("ChannelMSG, the pager ID has fewer than five items: the message is abandoned"));
  // The pager ID holds the gateway's password: no log line shows it.
  EXPECT_FALSE(log_.HasPart("A,B,C,D"));
}

TEST_F(MsgTest, EveryMessageHasItsOwnProbeAndConnection) {
  auto channel = Launch<TQuickMSG>("TChannelMSG", CT_MSG, Settings());
  channel->EnqueueMessage(1, "A,B,C,D,E", "one", 0);
  channel->EnqueueMessage(2, "A,B,C,D,E", "two", 0);
  ASSERT_EQ(Collect(*channel, 2).size(), 2u);
  EXPECT_EQ(server_.RequestCount(), 2u);
  EXPECT_EQ(server_.Connections(), 4u);
}

TEST_F(MsgTest, CloseDuringAGetThatIsNeverAnsweredEndsWithinTwoSeconds) {
  server_.SetScript({F::Do(TAct::Hold)});
  // The full 30-second time-out: only the stop can end the exchange in time.
  auto channel = Launch<TChannelMSG>("TChannelMSG", CT_MSG, Settings());
  channel->EnqueueMessage(5, "A,B,C,D,E", "hello", 0);
  ASSERT_TRUE(WaitUntil([&] { return server_.Holding() == 1; }, 10s));
  std::vector<TPart> parts;
  const auto took = CloseAndTime(*channel, parts, 2s);
  ASSERT_TRUE(took.has_value()) << "the channel did not end within 2 s";
  ASSERT_EQ(parts.size(), 1u);
  // Cut short by the stop, not refused: the message goes back to be sent later.
  EXPECT_FALSE(parts[0]->Taken);
  EXPECT_EQ(parts[0]->SendError, MSE_OK);
}

} // namespace
} // namespace voxmit::test
