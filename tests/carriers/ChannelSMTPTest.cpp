// The SMTP carrier through its real worker against a real SMTP server (aiosmtpd on loopback),
// which decodes and records every mail and every AUTH: fields, authentication choices and
// refusals; and against scripted peers that misbehave, and a stop while a peer is silent.

#include <gtest/gtest.h>

#include "carriers/ChannelSMTP.h"
#include "carriers/NetCarrierFixture.h"
#include "support/LocalSmtpServer.h"
#include "support/ScriptedLineServer.h"
#include "support/ServerProcess.h"

namespace voxmit::test {
namespace {

using TAnswer = TScriptedLineServer::TAnswer;

class SmtpChannel : public NetCarrierFixture {
protected:
  std::shared_ptr<TChannelSMTP> Channel(const std::string& settings, int32_t timeoutMs = 5000) {
    return Launch<TChannelSMTP>("TChannelSMTP", CT_SMTP, settings, timeoutMs);
  }
  static std::string Settings(uint16_t port, const std::string& authMode = "0",
                              const std::string& user = "pager",
                              const std::string& password = "secret") {
    return "127.0.0.1," + std::to_string(port) + "," + authMode + "," + user + "," + password;
  }
};

const std::string kPagerID =
    "\"Pager Gateway <gw@example.com>\",\"ops@example.com; Bob <bob@example.com>\","
    "boss@example.com,\"Disk full\"";

TEST_F(SmtpChannel, MailArrivesWithEveryFieldAndAuthLogin) {
  TLocalSmtpServer server(folder_.Path());
  auto channel = Channel(Settings(server.Port()));
  EXPECT_EQ(SendOne(*channel, kPagerID, "  Server 12 disk 3 is full  "), MSE_OK);

  ASSERT_EQ(server.Mails().size(), 1u) << server.Errors();
  const auto mail = server.Mails()[0];
  EXPECT_EQ(mail.MailFrom, "gw@example.com");
  EXPECT_EQ(mail.RcptTos,
            (std::vector<std::string>{"ops@example.com", "bob@example.com", "boss@example.com"}));
  EXPECT_EQ(mail.From, "Pager Gateway <gw@example.com>");
  ASSERT_TRUE(mail.To.has_value());
  EXPECT_NE(mail.To->find("ops@example.com"), std::string::npos);
  EXPECT_NE(mail.To->find("Bob <bob@example.com>"), std::string::npos);
  EXPECT_EQ(mail.ReplyTo, mail.To);
  EXPECT_EQ(mail.Cc, "boss@example.com");
  EXPECT_EQ(mail.Subject, "Disk full");
  EXPECT_EQ(mail.Body, "Server 12 disk 3 is full");
  EXPECT_TRUE(mail.Authenticated);
  ASSERT_EQ(server.Auths().size(), 1u);
  EXPECT_EQ(server.Auths()[0].Mechanism, "LOGIN");
  EXPECT_EQ(server.Auths()[0].Login, "pager");
  EXPECT_EQ(server.Auths()[0].Password, "secret");
  EXPECT_TRUE(log_.Has("ChannelSMTP, connecting "));
  EXPECT_TRUE(log_.Has("ChannelSMTP, connect succeeded"));
  EXPECT_EQ(channel->Device()->Activity(), "TChannelSMTP - Sending Message");
}

TEST_F(SmtpChannel, EmptyCcGivesNoCcHeaderAndEightBitTextArrivesDecoded) {
  TLocalSmtpServer server(folder_.Path());
  auto channel = Channel(Settings(server.Port(), "1", "", ""));
  EXPECT_EQ(SendOne(*channel, "gw@example.com,ops@example.com,,\"Caf\xE9 \x80\"",
                    "Caf\xE9 co\xFBte 5 \x80"),
            MSE_OK);
  ASSERT_EQ(server.Mails().size(), 1u) << server.Errors();
  const auto mail = server.Mails()[0];
  EXPECT_FALSE(mail.Cc.has_value());
  EXPECT_EQ(mail.ReplyTo, mail.To);
  EXPECT_EQ(mail.Subject, "Caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(mail.Body, "Caf\xC3\xA9 co\xC3\xBBte 5 \xE2\x82\xAC");
}

TEST_F(SmtpChannel, FiveThousandCharactersArriveAsOneMail) {
  TLocalSmtpServer server(folder_.Path());
  auto channel = Channel(Settings(server.Port(), "1"));
  std::string text;
  for (int i = 0; text.size() < 5000; ++i) text += "word" + std::to_string(i % 10) + " ";
  text.resize(5000);
  text.back() = '.';
  channel->EnqueueMessage(41, kPagerID, text, 0);
  const auto parts = Collect(*channel, 1);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0]->SendError, MSE_OK);
  EXPECT_EQ(parts[0]->PartCount, 1);
  ASSERT_EQ(server.Mails().size(), 1u) << server.Errors();
  EXPECT_EQ(server.Mails()[0].Body, text);
}

// ---- Authentication -----------------------------------------------------------------------------

struct AuthCase {
  const char* name;
  std::string authMode;
  std::string user;
  std::string password;
  bool serverOffersAuth;
  TMessageSendError expected;
  size_t authAttempts;
};

class SmtpAuth : public SmtpChannel, public ::testing::WithParamInterface<AuthCase> {};

TEST_P(SmtpAuth, Mode) {
  const AuthCase& c = GetParam();
  TLocalSmtpServer::Options options;
  options.OfferAuth = c.serverOffersAuth;
  TLocalSmtpServer server(folder_.Path(), options);
  auto channel = Channel(Settings(server.Port(), c.authMode, c.user, c.password));
  EXPECT_EQ(SendOne(*channel, kPagerID, "HI"), c.expected);
  EXPECT_EQ(server.Auths().size(), c.authAttempts);
  const auto mails = server.Mails();
  ASSERT_EQ(mails.size(), c.expected == MSE_OK ? 1u : 0u) << server.Errors();
  if (!mails.empty()) {
    EXPECT_EQ(mails[0].Authenticated, c.authAttempts == 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SmtpAuth,
    ::testing::Values(
        AuthCase{"ModeZeroLogsOn", "0", "pager", "secret", true, MSE_OK, 1},
        AuthCase{"ModeSevenIsModeZero", "7", "pager", "secret", true, MSE_OK, 1},
        AuthCase{"ModeOneSendsNoAuth", "1", "pager", "secret", true, MSE_OK, 0},
        AuthCase{"ModeOneEmptyUser", "1", "", "", true, MSE_OK, 0},
        AuthCase{"EmptyUserSendsNoAuth", "0", "", "secret", true, MSE_OK, 0},
        AuthCase{"ServerWithoutAuth", "0", "pager", "secret", false, MSE_OK, 0},
        AuthCase{"WrongPasswordAbandons", "0", "pager", "wrong", true, MSE_ABANDONED, 1}),
    [](const auto& info) { return info.param.name; });

// ---- Failures -----------------------------------------------------------------------------------

TEST_F(SmtpChannel, RefusedRecipientAbandonsTheMessage) {
  TLocalSmtpServer::Options options;
  options.RefuseRecipient = "nobody";
  TLocalSmtpServer server(folder_.Path(), options);
  auto channel = Channel(Settings(server.Port(), "1"));
  EXPECT_EQ(SendOne(*channel, "gw@example.com,\"ops@example.com, nobody@example.com\",,S", "HI"),
            MSE_ABANDONED);
  EXPECT_TRUE(server.Mails().empty());
  EXPECT_TRUE(log_.HasPart("ChannelSMTP, sending failed: "));
}

TEST_F(SmtpChannel, UnreachableServerIsNoConnection) {
  auto channel = Channel(Settings(static_cast<uint16_t>(FreeTcpPort()), "1"));
  EXPECT_EQ(SendOne(*channel, kPagerID, "HI"), MSE_NO_CONNECTION);
  EXPECT_TRUE(log_.Has("ChannelSMTP, connect failed"));
}

TEST_F(SmtpChannel, UnresolvableHostIsNoConnection) {
  auto channel = Channel("no..such-host,25,1,,");
  EXPECT_EQ(SendOne(*channel, kPagerID, "HI"), MSE_NO_CONNECTION);
}

// Header values from the pager ID that hold a line break would add headers of their own (a
// Bcc nobody asked for): the message fails before anything is sent.
TEST_F(SmtpChannel, LineBreakInAHeaderValueAbandonsWithoutSending) {
  TLocalSmtpServer server(folder_.Path());
  auto channel = Channel(Settings(server.Port(), "1"));
  for (const char* pagerID :
       {"\"gw@example.com\r\nBcc: evil@example.com\",ops@example.com,,S",
        "gw@example.com,\"ops@example.com\r\nBcc: evil@example.com\",,S",
        "gw@example.com,ops@example.com,\"boss@example.com\nBcc: evil@example.com\",S",
        "gw@example.com,ops@example.com,,\"Hi\r\nBcc: evil@example.com\""})
    EXPECT_EQ(SendOne(*channel, pagerID, "HI"), MSE_ABANDONED) << pagerID;
  EXPECT_TRUE(server.Mails().empty());
}

TEST_F(SmtpChannel, PagerIDWithTooFewItemsFailsOnlyThatMessage) {
  TLocalSmtpServer server(folder_.Path());
  auto channel = Channel(Settings(server.Port(), "1"));
  EXPECT_EQ(SendOne(*channel, "gw@example.com,ops@example.com,", "HI"), MSE_ABANDONED);
  EXPECT_TRUE(log_.HasPart("needs four items"));
  EXPECT_EQ(SendOne(*channel, kPagerID, "HI"), MSE_OK);
  EXPECT_EQ(server.Mails().size(), 1u);
}

// Settings the channel cannot read send nowhere: the message fails, no connection is made.
TEST_F(SmtpChannel, PortOrAuthModeNotANumberFailsWithoutConnecting) {
  TScriptedLineServer peer("220 ready\r\n", [](const std::string&, size_t) { return TAnswer{}; });
  const std::string port = std::to_string(peer.Port());
  for (const std::string& settings :
       {std::string("127.0.0.1,25x,1,,"), "127.0.0.1," + port + ",login,pager,secret"}) {
    auto channel = Channel(settings);
    EXPECT_EQ(SendOne(*channel, kPagerID, "HI"), MSE_NO_CONNECTION) << settings;
  }
  EXPECT_EQ(peer.Connections(), 0u);
  EXPECT_TRUE(log_.HasPart("is not a TCP port number"));
  EXPECT_TRUE(log_.HasPart("the auth mode \"login\" of the carrier settings is not a number"));
}

TEST_F(SmtpChannel, SettingsWithoutFiveItemsUseTheDevicesServer) {
  TLocalSmtpServer server(folder_.Path());
  auto channel = Launch<TChannelSMTP>("TChannelSMTP", CT_SMTP, "127.0.0.1,25,1", 5000,
                                      NetDevice("127.0.0.1," + std::to_string(server.Port()) + ",0"));
  // The settings were ignored, so the message length stays 0 and a text cannot be split.
  EXPECT_EQ(SendOne(*channel, kPagerID, ""), MSE_OK);
  ASSERT_EQ(server.Mails().size(), 1u);
  EXPECT_EQ(SendOne(*channel, kPagerID, "HI"), MSE_ABANDONED);
}

// ---- Peers that misbehave -----------------------------------------------------------------------

// A scripted mail server: greets with greeting, answers EHLO, MAIL, RCPT, DATA, the end of the
// data and QUIT as a plain server would, except that misbehave(line) may answer otherwise.
struct BadPeerCase {
  const char* name;
  std::string greeting;
  // Returns the answer to a command line, or nothing to answer normally.
  std::function<std::optional<TAnswer>(const std::string& line)> misbehave;
  TMessageSendError expected;
};

TAnswer NormalSmtpAnswer(const std::string& line, bool& inData) {
  if (inData) {
    if (line == ".") {
      inData = false;
      return {"250 OK\r\n"};
    }
    return {};
  }
  if (line.rfind("EHLO", 0) == 0) return {"250-localhost\r\n250 HELP\r\n"};
  if (line == "DATA") {
    inData = true;
    return {"354 go ahead\r\n"};
  }
  if (line == "QUIT") return {"221 bye\r\n", true};
  return {"250 OK\r\n"};
}

class SmtpBadPeer : public SmtpChannel, public ::testing::WithParamInterface<BadPeerCase> {};

TEST_P(SmtpBadPeer, EndsWithAResultWithinTheTimeOut) {
  const BadPeerCase& c = GetParam();
  bool inData = false;
  TScriptedLineServer peer(c.greeting, [&](const std::string& line, size_t) {
    if (!inData)
      if (auto answer = c.misbehave(line)) return *answer;
    return NormalSmtpAnswer(line, inData);
  });
  auto channel = Channel(Settings(peer.Port(), "1"), 500);
  EXPECT_EQ(SendOne(*channel, kPagerID, "HI", 20s), c.expected);
}

std::optional<TAnswer> Never(const std::string&) { return std::nullopt; }
std::optional<TAnswer> On(const std::string& prefix, const std::string& line, TAnswer answer) {
  if (line.rfind(prefix, 0) == 0) return answer;
  return std::nullopt;
}

INSTANTIATE_TEST_SUITE_P(
    Peers, SmtpBadPeer,
    ::testing::Values(
        BadPeerCase{"Behaves", "220 ready\r\n", Never, MSE_OK},
        BadPeerCase{"SilentGreeting", "", Never, MSE_NO_CONNECTION},
        BadPeerCase{"GarbageGreeting", "hello there\r\n", Never, MSE_NO_CONNECTION},
        BadPeerCase{"OverlongGreeting", std::string(300000, 'x'), Never, MSE_NO_CONNECTION},
        BadPeerCase{"ContinuedGreetingThenSilence", "220-ready\r\n", Never, MSE_NO_CONNECTION},
        BadPeerCase{"ClosesAfterEhlo", "220 ready\r\n",
                    [](const std::string& l) { return On("EHLO", l, {"", true}); },
                    MSE_NO_CONNECTION},
        BadPeerCase{"ContinuedEhloThenClose", "220 ready\r\n",
                    [](const std::string& l) { return On("EHLO", l, {"250-localhost\r\n", true}); },
                    MSE_NO_CONNECTION},
        BadPeerCase{"EhloAndHeloRefused", "220 ready\r\n",
                    [](const std::string& l) -> std::optional<TAnswer> {
                      if (l.rfind("EHLO", 0) == 0 || l.rfind("HELO", 0) == 0)
                        return TAnswer{"502 no\r\n"};
                      return std::nullopt;
                    },
                    MSE_NO_CONNECTION},
        BadPeerCase{"ClosesOnMail", "220 ready\r\n",
                    [](const std::string& l) { return On("MAIL", l, {"", true}); }, MSE_ABANDONED},
        BadPeerCase{"SilentOnRcpt", "220 ready\r\n",
                    [](const std::string& l) { return On("RCPT", l, {}); }, MSE_ABANDONED},
        BadPeerCase{"GarbageForRcpt", "220 ready\r\n",
                    [](const std::string& l) { return On("RCPT", l, {"\x01\x02 what?\r\n"}); },
                    MSE_ABANDONED},
        BadPeerCase{"OverlongAnswerToMail", "220 ready\r\n",
                    [](const std::string& l) {
                      return On("MAIL", l, {"250-" + std::string(300000, 'y') + "\r\n"});
                    },
                    MSE_ABANDONED},
        BadPeerCase{"DataRefused", "220 ready\r\n",
                    [](const std::string& l) { return On("DATA", l, {"554 no\r\n"}); },
                    MSE_ABANDONED}),
    [](const auto& info) { return info.param.name; });

// The end of the data is never answered.
TEST_F(SmtpChannel, SilenceAfterTheDataAbandonsWithinTheTimeOut) {
  bool inData = false;
  TScriptedLineServer peer("220 ready\r\n", [&](const std::string& line, size_t) {
    if (inData && line == ".") return TAnswer{};
    return NormalSmtpAnswer(line, inData);
  });
  auto channel = Channel(Settings(peer.Port(), "1"), 500);
  EXPECT_EQ(SendOne(*channel, kPagerID, "HI", 20s), MSE_ABANDONED);
}

// ---- Stopping -----------------------------------------------------------------------------------

// With the full 30-second time-out, a stop while the peer is silent still ends at once, and the
// message goes back untried to be sent later.
struct StopCase {
  const char* name;
  std::string greeting;
  std::string silentOn;  // the command the peer leaves unanswered ("" : the greeting)
};

class SmtpStop : public SmtpChannel, public ::testing::WithParamInterface<StopCase> {};

TEST_P(SmtpStop, CloseWhilePeerIsSilent) {
  const StopCase& c = GetParam();
  bool inData = false;
  std::atomic<bool> reached{c.silentOn.empty()};
  TScriptedLineServer peer(c.greeting, [&](const std::string& line, size_t) {
    const bool dataEnd = c.silentOn == "." && inData && line == ".";
    if (dataEnd || (!c.silentOn.empty() && !inData && line.rfind(c.silentOn, 0) == 0)) {
      reached = true;
      return TAnswer{};
    }
    return NormalSmtpAnswer(line, inData);
  });
  auto channel = Channel(Settings(peer.Port(), "1"), TBaseChannelINet::NetTimeoutMs);
  channel->EnqueueMessage(41, kPagerID, "HI", 0);
  ASSERT_TRUE(WaitUntil([&] { return peer.Connections() == 1 && reached; }, 10s));
  std::vector<TPart> returned;
  EXPECT_TRUE(CloseAndWaitEnd(*channel, returned, 2s));
  ASSERT_EQ(returned.size(), 1u);
  EXPECT_FALSE(returned[0]->Taken);
  EXPECT_EQ(returned[0]->SendError, MSE_OK);
}

INSTANTIATE_TEST_SUITE_P(Stops, SmtpStop,
                         ::testing::Values(StopCase{"AtTheGreeting", "", ""},
                                           StopCase{"AtRcpt", "220 ready\r\n", "RCPT"},
                                           StopCase{"AfterTheData", "220 ready\r\n", "."}),
                         [](const auto& info) { return info.param.name; });

} // namespace
} // namespace voxmit::test
