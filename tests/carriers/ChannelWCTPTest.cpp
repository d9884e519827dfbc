// WCTP against a fake HTTP gateway on loopback: what the gateway receives (read with its own
// XML parser), the result of each message for each kind of answer, gateways that misbehave,
// and stops while the gateway is silent.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "carriers/HttpGatewayFixture.h"
#include "carriers/WctpReader.h"
#include "support/ServerProcess.h"

namespace voxmit::test {
namespace {

using TQuickWCTP = TTimed<TChannelWCTP, kShortTimeoutMs>;

class WctpTest : public HttpGatewayFixture {
protected:
  std::string Settings(const std::string& path = "/wctp/") {
    return Url(path) + "," + Port() + ",160";
  }
  // One message through a channel run by its worker; its part once it came back.
  template <class T = TQuickWCTP>
  TPart SendOne(const std::string& pagerID, const std::string& text,
                const std::string& settings = "") {
    auto channel = Launch<T>("TChannelWCTP", CT_WCTP, settings.empty() ? Settings() : settings);
    if (!channel) return nullptr;
    channel->EnqueueMessage(21, pagerID, text, 0);
    const auto parts = Collect(*channel, 1);
    return parts.empty() ? nullptr : parts[0];
  }
};

TEST_F(WctpTest, PostsTheDocumentAfterAProbeOfTheGatewaysRoot) {
  const TPart part = SendOne("rcpt-1,sender-1,,1,yes,0", "Fire & smoke < 3 m \xE9");
  ASSERT_NE(part, nullptr);
  EXPECT_TRUE(part->Taken);
  EXPECT_EQ(part->SendError, MSE_OK);

  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Method, "GET");
  EXPECT_EQ(requests[0].Target, "/");
  EXPECT_EQ(requests[1].Method, "POST");
  // The path of the URL after "/": two slashes after the port.
  EXPECT_EQ(requests[1].Target, "//wctp/");
  EXPECT_EQ(requests[1].Header("Host"), "127.0.0.1:" + Port());
  EXPECT_EQ(requests[1].Header("Content-Type"), "text/xml");

  const std::string& body = requests[1].Body;
  EXPECT_EQ(body.rfind("<?xml version=\"1.0\"?>\r\n<!DOCTYPE ", 0), 0u) << body;
  EXPECT_NE(body.find("Fire &amp; smoke &lt; 3 m"), std::string::npos) << body;
  const TWctpSubmit read = ReadWctpSubmit(body);
  ASSERT_TRUE(read.Problems.empty()) << read.Problems.front() << "\n" << body;
  EXPECT_EQ(read.DoctypeName, "wctp-Operation");
  EXPECT_EQ(read.DoctypeSystemId, "http://dtd.wctp.org/wctp-dtd-v1r1.dtd");
  EXPECT_EQ(read.WctpVersion, "wctp-dtd-v1r1");
  EXPECT_TRUE(std::regex_match(read.SubmitTimestamp,
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d,\d{3})")))
      << read.SubmitTimestamp;
  EXPECT_EQ(read.SenderID, "sender-1");
  EXPECT_FALSE(read.MiscInfo.has_value());
  EXPECT_EQ(read.NotifyWhenQueued, "True");
  EXPECT_EQ(read.NotifyWhenDelivered, "False");
  EXPECT_EQ(read.NotifyWhenRead, "False");
  EXPECT_EQ(read.RecipientID, "rcpt-1");
  EXPECT_EQ(read.Alphanumeric, "Fire & smoke < 3 m \xC3\xA9");

  // The diagnostic copy is the request as posted.
  EXPECT_EQ(home_.Read("Test.xml"), body);
  for (const char* line : {"ChannelWCTP, connecting ", "ChannelWCTP, connect succeeded"})
    EXPECT_TRUE(log_.Has(line)) << line;
  EXPECT_EQ(server_.Connections(), 2u);
}

struct PagerCase {
  const char* name;
  const char* pagerID;
  std::optional<std::string> miscInfo;
  const char* queued;
  const char* delivered;
  const char* read;
};

class WctpPagerTest : public WctpTest, public ::testing::WithParamInterface<PagerCase> {};

TEST_P(WctpPagerTest, ItemsBecomeAttributes) {
  const PagerCase& c = GetParam();
  const TPart part = SendOne(c.pagerID, "hello");
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->SendError, MSE_OK);
  ASSERT_TRUE(server_.WaitForRequests(2));
  const TWctpSubmit read = ReadWctpSubmit(server_.Requests()[1].Body);
  ASSERT_TRUE(read.Problems.empty()) << read.Problems.front();
  EXPECT_EQ(read.MiscInfo, c.miscInfo);
  EXPECT_EQ(read.NotifyWhenQueued, c.queued);
  EXPECT_EQ(read.NotifyWhenDelivered, c.delivered);
  EXPECT_EQ(read.NotifyWhenRead, c.read);
}

INSTANTIATE_TEST_SUITE_P(
    PagerIds, WctpPagerTest,
    ::testing::Values(
        PagerCase{"EmptyMiscInfoOmitted", "r,s,,1,yes,0", std::nullopt, "True", "False", "False"},
        PagerCase{"MiscInfoGiven", "r,s,\"night & <day>\",True,2,false", "night & <day>", "True",
                  "True", "False"},
        PagerCase{"AllFalse", "r,s,x,0,False,no", "x", "False", "False", "False"},
        PagerCase{"AllTrue", "r,s,x,-1,TRUE,7", "x", "True", "True", "True"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- One message, each kind of gateway ------------------------------------------------------------

struct ResultCase {
  const char* name;
  std::vector<FakeHttpServer::TStep> script;
  TMessageSendError expected;
  size_t requests;  // what the gateway received: the probe, and the POST when it was made
};

class WctpResultTest : public WctpTest, public ::testing::WithParamInterface<ResultCase> {};

TEST_P(WctpResultTest, OneMessage) {
  const ResultCase& c = GetParam();
  server_.SetScript(c.script);
  const auto start = std::chrono::steady_clock::now();
  const TPart part = SendOne("r,s,,0,0,0", "hello");
  ASSERT_NE(part, nullptr) << "no result";
  EXPECT_TRUE(part->Taken);
  EXPECT_EQ(part->SendError, c.expected);
  EXPECT_EQ(server_.RequestCount(), c.requests);
  // Each exchange ends within its time-out, with room for a slow machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  if (c.expected == MSE_NO_CONNECTION) {
    EXPECT_TRUE(log_.Has("ChannelWCTP, connect failed"));
  }
}

using F = FakeHttpServer;

INSTANTIATE_TEST_SUITE_P(
    Gateways, WctpResultTest,
    ::testing::Values(
        ResultCase{"Accepted", {F::Answer(200)}, MSE_OK, 2},
        ResultCase{"NoContent", {F::Answer(200), F::Answer(204)}, MSE_OK, 2},
        ResultCase{"PostRefused500", {F::Answer(200), F::Answer(500)}, MSE_ABANDONED, 2},
        ResultCase{"PostRedirectNotFollowed", {F::Answer(200), F::Answer(302)}, MSE_ABANDONED, 2},
        ResultCase{"PostClosed", {F::Answer(200), F::Do(TAct::Close)}, MSE_ABANDONED, 2},
        ResultCase{"PostHalfAnswer", {F::Answer(200), F::Do(TAct::HalfAnswer)}, MSE_ABANDONED, 2},
        ResultCase{"PostGarbage", {F::Answer(200), F::Do(TAct::Garbage)}, MSE_ABANDONED, 2},
        ResultCase{"PostOverlongStatusLine", {F::Answer(200), F::Do(TAct::OverlongStatusLine)},
                   MSE_ABANDONED, 2},
        ResultCase{"PostOverlongHeader", {F::Answer(200), F::Do(TAct::OverlongHeader)},
                   MSE_ABANDONED, 2},
        ResultCase{"PostNeverAnswered", {F::Answer(200), F::Do(TAct::Hold)}, MSE_ABANDONED, 2},
        ResultCase{"ProbeRefused404", {F::Answer(404)}, MSE_NO_CONNECTION, 1},
        ResultCase{"ProbeRedirectNotFollowed", {F::Answer(301)}, MSE_NO_CONNECTION, 1},
        ResultCase{"ProbeClosed", {F::Do(TAct::Close)}, MSE_NO_CONNECTION, 1},
        ResultCase{"ProbeGarbage", {F::Do(TAct::Garbage)}, MSE_NO_CONNECTION, 1},
        ResultCase{"ProbeNeverAnswered", {F::Do(TAct::Hold)}, MSE_NO_CONNECTION, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WctpTest, UnreachableOrUnnamedGatewaysAreNoConnection) {
  const std::string closedPort = std::to_string(FreeTcpPort());
  for (const std::string& settings :
       {Url("/wctp/") + "," + closedPort + ",160", "http://no..such-host/wctp/," + Port() + ",160",
        Url("/wctp/") + ",80x,160", Url("/wctp/") + ",70000,160"}) {
    const TPart part = SendOne("r,s,,0,0,0", "hello", settings);
    ASSERT_NE(part, nullptr) << settings;
    EXPECT_EQ(part->SendError, MSE_NO_CONNECTION) << settings;
  }
  EXPECT_EQ(server_.Connections(), 0u);
  EXPECT_TRUE(log_.Has("ChannelWCTP, the port \"80x\" is not a TCP port number"));
}

TEST_F(WctpTest, APagerIdWithFewerThanSixItemsFailsOnlyItsMessage) {
  auto channel = Launch<TQuickWCTP>("TChannelWCTP", CT_WCTP, Settings());
  channel->EnqueueMessage(1, "r,s,,0,0", "short", 0);
  channel->EnqueueMessage(2, "r,s,,0,0,0", "whole", 0);
  const auto parts = Collect(*channel, 2);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0]->ID, 1);
  EXPECT_EQ(parts[0]->SendError, MSE_ABANDONED);
  EXPECT_EQ(parts[1]->ID, 2);
  EXPECT_EQ(parts[1]->SendError, MSE_OK);
  // Two connections with a probe each; only the whole pager ID was posted.
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[2].Method, "POST");
  EXPECT_EQ(ReadWctpSubmit(requests[2].Body).Alphanumeric, "whole");
  EXPECT_TRUE(log_.Has("ChannelWCTP, the pager ID has fewer than six items: the message is abandoned"));
}

TEST_F(WctpTest, EveryMessageHasItsOwnProbeAndPost) {
  auto channel = Launch<TQuickWCTP>("TChannelWCTP", CT_WCTP, Settings());
  channel->EnqueueMessage(1, "r,s,,0,0,0", "one", 0);
  channel->EnqueueMessage(2, "r,s,,0,0,0", "two", 0);
  ASSERT_EQ(Collect(*channel, 2).size(), 2u);
  std::vector<std::string> seen;
  for (const auto& request : server_.Requests()) seen.push_back(request.Method);
  EXPECT_EQ(seen, (std::vector<std::string>{"GET", "POST", "GET", "POST"}));
  EXPECT_EQ(server_.Connections(), 4u);
}

TEST_F(WctpTest, ADiagnosticCopyThatCannotBeWrittenDoesNotStopTheMessage) {
  std::filesystem::create_directory(home_.File("Test.xml"));
  std::filesystem::create_directory(home_.File("Test.xml") / "keep");
  const TPart part = SendOne("r,s,,0,0,0", "hello");
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->SendError, MSE_OK);
  EXPECT_EQ(server_.RequestCount(), 2u);
  EXPECT_TRUE(log_.HasPart("ChannelWCTP, the diagnostic copy ")) << "no log line";
  EXPECT_FALSE(std::filesystem::exists(home_.File("Test.xml.tmp")));
}

TEST_F(WctpTest, AUrlWithoutHostPostsToTheDevicesHostAndTheDefaultPath) {
  const TPart part = SendOne("r,s,,0,0,0", "hello", "wctp," + Port() + ",160");
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->SendError, MSE_OK);
  ASSERT_EQ(server_.RequestCount(), 2u);
  EXPECT_EQ(server_.Requests()[1].Target, "/wctp");
}

// ---- Stops while the gateway is silent ------------------------------------------------------------

struct StopCase {
  const char* name;
  std::vector<FakeHttpServer::TStep> script;
  size_t heldRequest;  // the request the gateway holds when the channel is closed
};

class WctpStopTest : public WctpTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(WctpStopTest, CloseEndsTheChannelWithinTwoSeconds) {
  server_.SetScript(GetParam().script);
  // The full 30-second time-out: only the stop can end the exchange in time.
  auto channel = Launch<TChannelWCTP>("TChannelWCTP", CT_WCTP, Settings());
  channel->EnqueueMessage(5, "r,s,,0,0,0", "hello", 0);
  ASSERT_TRUE(WaitUntil([&] { return server_.Holding() == 1; }, 10s));
  ASSERT_EQ(server_.RequestCount(), GetParam().heldRequest + 1);
  std::vector<TPart> parts;
  const auto took = CloseAndTime(*channel, parts, 2s);
  ASSERT_TRUE(took.has_value()) << "the channel did not end within 2 s";
  ASSERT_EQ(parts.size(), 1u);
  if (GetParam().heldRequest == 1) {
    // The POST was cut short by the stop, not refused: the message goes back to be sent later.
    EXPECT_FALSE(parts[0]->Taken);
    EXPECT_EQ(parts[0]->SendError, MSE_OK);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Phases, WctpStopTest,
    ::testing::Values(StopCase{"DuringTheProbe", {F::Do(TAct::Hold)}, 0},
                      StopCase{"DuringThePost", {F::Answer(200), F::Do(TAct::Hold)}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace voxmit::test
