// The SNPP carrier through its real worker: against a real SNPP server (Net::SNPP::Server on
// loopback) for pages that arrive, and against the scripted paging terminal for what is sent
// when, refusals, misbehaving peers and a stop while the peer is silent.

#include <gtest/gtest.h>

#include "carriers/ChannelSNPP.h"
#include "carriers/NetCarrierFixture.h"
#include "support/FakeSnppServer.h"
#include "support/LocalSnppServer.h"
#include "support/ServerProcess.h"

namespace voxmit::test {
namespace {

using Lines = std::vector<std::string>;

class SnppChannel : public NetCarrierFixture {
protected:
  std::shared_ptr<TChannelSNPP> Channel(const std::string& settings, int32_t timeoutMs = 5000) {
    return Launch<TChannelSNPP>("TChannelSNPP", CT_SNPP, settings, timeoutMs);
  }
  static std::string Settings(uint16_t port, const std::string& maxLength = "80",
                              const std::string& login = "ops", const std::string& password = "pw") {
    return "127.0.0.1," + std::to_string(port) + "," + maxLength + "," + login + "," + password;
  }
};

TEST_F(SnppChannel, PageArrivesAtARealServer) {
  TLocalSnppServer server(folder_.Path());
  auto channel = Channel(Settings(server.Port()));
  EXPECT_EQ(SendOne(*channel, "5551234,x", "Disk 3 of server 12 is full"), MSE_OK);
  EXPECT_EQ(server.Pages(),
            (std::vector<TLocalSnppServer::Page>{{"5551234", "Disk 3 of server 12 is full"}}));
  EXPECT_EQ(server.Logins(), (std::vector<Lines>{{"ops", "pw"}}));
  EXPECT_TRUE(log_.Has("ChannelSNPP, connecting "));
  EXPECT_TRUE(log_.Has("ChannelSNPP, connect succeeded"));
  EXPECT_EQ(channel->Device()->Activity(), "TChannelSNPP - Sending Message");
}

TEST_F(SnppChannel, TheExchangeOfOneMessage) {
  FakeSnppServer peer;
  auto channel = Channel(Settings(peer.Port()));
  EXPECT_EQ(SendOne(*channel, "5551234,x", "Disk full"), MSE_OK);
  EXPECT_EQ(peer.Sessions(), (std::vector<Lines>{
                                 {"LOGI ops pw", "PAGE 5551234", "MESS Disk full", "SEND", "QUIT"}}));
}

struct LoginCase {
  const char* name;
  std::string login;
  std::string password;
  Lines received;
};

class SnppLogin : public SnppChannel, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(SnppLogin, Line) {
  FakeSnppServer peer;
  peer.Answer("LOGI", "550 refused, and ignored");
  auto channel = Channel(Settings(peer.Port(), "80", GetParam().login, GetParam().password));
  EXPECT_EQ(SendOne(*channel, "5551234,x", "HI"), MSE_OK);
  EXPECT_EQ(peer.Sessions(), std::vector<Lines>{GetParam().received});
}

INSTANTIATE_TEST_SUITE_P(
    Logins, SnppLogin,
    ::testing::Values(
        LoginCase{"NoPasswordNoLogi", "ops", "", {"PAGE 5551234", "MESS HI", "SEND", "QUIT"}},
        LoginCase{"NoLoginIdPasswordAlone", "", "pw",
                  {"LOGI pw", "PAGE 5551234", "MESS HI", "SEND", "QUIT"}},
        LoginCase{"Both", "ops", "pw", {"LOGI ops pw", "PAGE 5551234", "MESS HI", "SEND", "QUIT"}}),
    [](const auto& info) { return info.param.name; });

// The terminal's answers and what the message comes to.
struct AnswerCase {
  const char* name;
  std::string command;
  std::string answer;
  TMessageSendError expected;
  Lines received;
};

class SnppAnswer : public SnppChannel, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(SnppAnswer, Result) {
  const AnswerCase& c = GetParam();
  FakeSnppServer peer;
  peer.Answer(c.command, c.answer);
  auto channel = Channel(Settings(peer.Port(), "80", "ops", ""), 500);
  EXPECT_EQ(SendOne(*channel, "5551234,x", "HI"), c.expected);
  ASSERT_EQ(peer.Sessions().size(), 1u);
  EXPECT_EQ(peer.Sessions()[0], c.received);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SnppAnswer,
    ::testing::Values(
        AnswerCase{"PageRefusedCountsAsSent", "PAGE", "550 Error, Invalid Pager ID", MSE_OK,
                   {"PAGE 5551234", "QUIT"}},
        AnswerCase{"PageAnsweredWithoutACodeAbandons", "PAGE", "Pager ID Accepted?",
                   MSE_ABANDONED, {"PAGE 5551234", "QUIT"}},
        AnswerCase{"MessRefusedCountsAsSent", "MESS", "550 ERROR, Invalid Message", MSE_OK,
                   {"PAGE 5551234", "MESS HI", "QUIT"}},
        AnswerCase{"SendRefusedAbandons", "SEND", "554 Error, failed", MSE_ABANDONED,
                   {"PAGE 5551234", "MESS HI", "SEND", "QUIT"}},
        AnswerCase{"SendAnsweredWithGarbageAbandons", "SEND", "what?", MSE_ABANDONED,
                   {"PAGE 5551234", "MESS HI", "SEND", "QUIT"}},
        AnswerCase{"SendNeverAnsweredAbandons", "SEND", "", MSE_ABANDONED,
                   {"PAGE 5551234", "MESS HI", "SEND", "QUIT"}},
        AnswerCase{"OverlongAnswerToMessAbandons", "MESS", std::string(300000, 'z'),
                   MSE_ABANDONED, {"PAGE 5551234", "MESS HI", "QUIT"}},
        AnswerCase{"QuitRefusedStillSent", "QUIT", "500 what?", MSE_OK,
                   {"PAGE 5551234", "MESS HI", "SEND", "QUIT"}}),
    [](const auto& info) { return info.param.name; });

TEST_F(SnppChannel, ThreeHundredCharactersWithLimit80GoAsFiveExchanges) {
  FakeSnppServer peer;
  auto channel = Channel(Settings(peer.Port(), "80", "", ""));
  std::string text;
  for (int i = 0; text.size() < 300; ++i) text += static_cast<char>('a' + i % 26);
  channel->EnqueueMessage(41, "5551234,x", text, 0);
  const auto parts = Collect(*channel, 5);
  ASSERT_EQ(parts.size(), 5u);
  for (const auto& part : parts) EXPECT_EQ(part->SendError, MSE_OK);
  ASSERT_TRUE(WaitUntil([&] { return peer.Sessions().size() == 5; }));
  std::string joined;
  for (size_t k = 0; k < 5; ++k) {
    const Lines session = peer.Sessions()[k];
    ASSERT_EQ(session.size(), 4u) << k;
    EXPECT_EQ(session[0], "PAGE 5551234");
    const std::string tag = "MESS (Msg" + std::to_string(k + 1) + " of 5)";
    ASSERT_EQ(session[1].rfind(tag, 0), 0u) << session[1];
    EXPECT_LE(session[1].size() - 5, 80u);
    joined += session[1].substr(tag.size());
    EXPECT_EQ(session[2], "SEND");
    EXPECT_EQ(session[3], "QUIT");
  }
  EXPECT_EQ(joined, text);
}

TEST_F(SnppChannel, LongestPartNotANumberMeansOnePage) {
  FakeSnppServer peer;
  auto channel = Channel(Settings(peer.Port(), "none", "", ""));
  const std::string text(300, 'q');
  EXPECT_EQ(SendOne(*channel, "5551234,x", text), MSE_OK);
  ASSERT_EQ(peer.Sessions().size(), 1u);
  EXPECT_EQ(peer.Sessions()[0][1], "MESS " + text);
}

TEST_F(SnppChannel, PagerIdWithOneItemFailsOnlyThatMessage) {
  FakeSnppServer peer;
  auto channel = Channel(Settings(peer.Port(), "80", "", ""));
  EXPECT_EQ(SendOne(*channel, "5551234", "HI"), MSE_ABANDONED);
  EXPECT_TRUE(log_.HasPart("needs two items"));
  EXPECT_EQ(SendOne(*channel, "5551234,x", "HI"), MSE_OK);
  ASSERT_EQ(peer.Sessions().size(), 2u);
  EXPECT_EQ(peer.Sessions()[0], (Lines{"QUIT"}));
}

// A line break in the pager ID would start a command of its own: the message fails instead.
TEST_F(SnppChannel, LineBreakInThePagerIdAbandonsWithoutSendingIt) {
  FakeSnppServer peer;
  auto channel = Channel(Settings(peer.Port(), "80", "", ""));
  EXPECT_EQ(SendOne(*channel, "\"5551234\r\nSEND\",x", "HI"), MSE_ABANDONED);
  EXPECT_EQ(peer.Sessions(), (std::vector<Lines>{{"QUIT"}}));
}

TEST_F(SnppChannel, UnreachableServerOrPortNotANumberIsNoConnection) {
  for (const std::string& settings : {Settings(static_cast<uint16_t>(FreeTcpPort())),
                                      std::string("127.0.0.1,7777x,80,,")}) {
    auto channel = Channel(settings);
    EXPECT_EQ(SendOne(*channel, "5551234,x", "HI"), MSE_NO_CONNECTION) << settings;
  }
  EXPECT_TRUE(log_.Has("ChannelSNPP, connect failed"));
}

TEST_F(SnppChannel, SettingsWithoutFiveItemsUseTheDevicesServer) {
  FakeSnppServer peer;
  auto channel = Launch<TChannelSNPP>("TChannelSNPP", CT_SNPP, "127.0.0.1,1,80", 5000,
                                      NetDevice("127.0.0.1," + std::to_string(peer.Port()) + ",1"));
  // The settings were ignored, so the message length stays 0: only an empty text goes, as
  // nothing at all.
  EXPECT_EQ(SendOne(*channel, "5551234,x", ""), MSE_OK);
  EXPECT_EQ(peer.Sessions(), (std::vector<Lines>{{"QUIT"}}));
}

struct BadPeerCase {
  const char* name;
  std::string greeting;
  std::string closeOn;
  TMessageSendError expected;
};

class SnppBadPeer : public SnppChannel, public ::testing::WithParamInterface<BadPeerCase> {};

TEST_P(SnppBadPeer, EndsWithAResultWithinTheTimeOut) {
  FakeSnppServer peer(GetParam().greeting);
  if (!GetParam().closeOn.empty()) peer.CloseOn(GetParam().closeOn);
  auto channel = Channel(Settings(peer.Port(), "80", "", ""), 500);
  EXPECT_EQ(SendOne(*channel, "5551234,x", "HI", 20s), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Peers, SnppBadPeer,
    ::testing::Values(
        BadPeerCase{"SilentGreeting", "", "", MSE_NO_CONNECTION},
        BadPeerCase{"GarbageGreeting", "\x01\x02 hello", "", MSE_NO_CONNECTION},
        BadPeerCase{"OverlongGreeting", "220 " + std::string(300000, 'g'), "", MSE_NO_CONNECTION},
        BadPeerCase{"ContinuedGreetingThenSilence", "220-more to come", "", MSE_NO_CONNECTION},
        BadPeerCase{"ClosesOnPage", "220 ready", "PAGE", MSE_ABANDONED},
        BadPeerCase{"ClosesOnSend", "220 ready", "SEND", MSE_ABANDONED},
        BadPeerCase{"ClosesOnQuit", "220 ready", "QUIT", MSE_OK}),
    [](const auto& info) { return info.param.name; });

// With the full 30-second time-out, a stop while the peer is silent still ends at once, and the
// message goes back untried to be sent later.
struct StopCase {
  const char* name;
  std::string greeting;
  std::string silentOn;
};

class SnppStop : public SnppChannel, public ::testing::WithParamInterface<StopCase> {};

TEST_P(SnppStop, CloseWhilePeerIsSilent) {
  FakeSnppServer peer(GetParam().greeting);
  if (!GetParam().silentOn.empty()) peer.Answer(GetParam().silentOn, "");
  auto channel = Channel(Settings(peer.Port(), "80", "", ""), TBaseChannelINet::NetTimeoutMs);
  channel->EnqueueMessage(41, "5551234,x", "HI", 0);
  ASSERT_TRUE(WaitUntil([&] {
    if (GetParam().silentOn.empty()) return peer.Connections() == 1;
    const auto sessions = peer.Sessions();
    return !sessions.empty() && !sessions[0].empty() &&
           sessions[0].back().rfind(GetParam().silentOn, 0) == 0;
  }, 10s));
  std::vector<TPart> returned;
  EXPECT_TRUE(CloseAndWaitEnd(*channel, returned, 2s));
  ASSERT_EQ(returned.size(), 1u);
  EXPECT_FALSE(returned[0]->Taken);
  EXPECT_EQ(returned[0]->SendError, MSE_OK);
}

INSTANTIATE_TEST_SUITE_P(Stops, SnppStop,
                         ::testing::Values(StopCase{"AtTheGreeting", "", ""},
                                           StopCase{"AtSend", "220 ready", "SEND"}),
                         [](const auto& info) { return info.param.name; });

} // namespace
} // namespace voxmit::test
