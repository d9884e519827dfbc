// The SNPP client against the scripted paging terminal (what it sends, how it takes each
// answer) and against a real SNPP server (DATA texts as the server's own code reads them).

#include <gtest/gtest.h>

#include "carriers/IdSNPP.h"
#include "support/FakeSnppServer.h"
#include "support/LocalSnppServer.h"
#include "support/TempHome.h"

namespace voxmit::test {
namespace {

using Lines = std::vector<std::string>;

class IdSnpp : public ::testing::Test {
protected:
  void Connect() { client.Connect("127.0.0.1", peer.Port()); }
  Lines Received() {
    const auto sessions = peer.Sessions();
    return sessions.empty() ? Lines{} : sessions.back();
  }

  FakeSnppServer peer;
  TIdSNPP client{nullptr, 2000};
};

TEST_F(IdSnpp, TheExchangeOfOnePage) {
  Connect();
  EXPECT_TRUE(client.LoginCommand("ops", "pw"));
  client.SendPage("5551234", "Disk full");
  client.Disconnect();
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(Received(), (Lines{"LOGI ops pw", "PAGE 5551234", "MESS Disk full", "SEND", "QUIT"}));
}

TEST_F(IdSnpp, LoginWithoutLoginIdSendsThePasswordAlone) {
  Connect();
  EXPECT_TRUE(client.LoginCommand("", "pw"));
  peer.Answer("LOGI", "421 no such user");
  EXPECT_FALSE(client.LoginCommand("ops", "pw"));
  EXPECT_EQ(Received(), (Lines{"LOGI pw", "LOGI ops pw"}));
}

struct RefusalCase {
  const char* name;
  std::string command;  // refused with 550
  Lines received;
};

class IdSnppRefusal : public IdSnpp, public ::testing::WithParamInterface<RefusalCase> {};

// A refused PAGE or MESS ends the page quietly: nothing more is sent, no error raised.
TEST_P(IdSnppRefusal, EndsThePageWithoutError) {
  peer.Answer(GetParam().command, "550 Error, Invalid");
  Connect();
  EXPECT_NO_THROW(client.SendPage("5551234", "Disk full"));
  EXPECT_EQ(Received(), GetParam().received);
}

INSTANTIATE_TEST_SUITE_P(Commands, IdSnppRefusal,
                         ::testing::Values(RefusalCase{"Page", "PAGE", {"PAGE 5551234"}},
                                           RefusalCase{"Mess", "MESS",
                                                       {"PAGE 5551234", "MESS Disk full"}}),
                         [](const auto& info) { return info.param.name; });

TEST_F(IdSnpp, EmptyPagerIdOrTextSendsNothing) {
  Connect();
  client.SendPage("", "Disk full");
  client.SendPage("5551234", "");
  EXPECT_TRUE(Received().empty());
}

TEST_F(IdSnpp, RefusedSendRaisesWithThePeersCodeAndText) {
  peer.Answer("SEND", "554 Error, failed");
  Connect();
  try {
    client.SendPage("5551234", "Disk full");
    FAIL() << "no exception";
  } catch (const TSNPPException& e) {
    EXPECT_EQ(e.code(), 554);
    EXPECT_NE(e.message().find("554 Error, failed"), std::string::npos) << e.message();
  }
}

TEST_F(IdSnpp, GreetingOtherThan220RaisesAndLeavesNoConnection) {
  FakeSnppServer busy("421 Too busy");
  try {
    client.Connect("127.0.0.1", busy.Port());
    FAIL() << "no exception";
  } catch (const TSNPPException& e) {
    EXPECT_EQ(e.code(), 421);
    EXPECT_NE(e.message().find("Too busy"), std::string::npos);
  }
  EXPECT_FALSE(client.Connected());
}

TEST_F(IdSnpp, QuitNotAnsweredWith221RaisesButCloses) {
  peer.Answer("QUIT", "500 what?");
  Connect();
  EXPECT_THROW(client.Disconnect(), TSNPPException);
  EXPECT_FALSE(client.Connected());
}

// A line break in a pager ID, a login or a one-line text never reaches the peer, so no text can
// start a command of its own.
TEST_F(IdSnpp, LineBreakInACommandIsRefusedBeforeSending) {
  Connect();
  EXPECT_THROW(client.SendPage("5551234\r\nSEND", "Disk full"), TSNPPException);
  EXPECT_THROW(client.MessCommand("Disk\r\nSEND"), TSNPPException);
  EXPECT_THROW(client.LoginCommand("ops", "pw\nPAGE 1"), TSNPPException);
  EXPECT_THROW(client.PageCommand("555\r1234"), TSNPPException);
  client.SendPage("5551234", "Disk full");
  EXPECT_EQ(Received(), (Lines{"PAGE 5551234", "MESS Disk full", "SEND"}));
}

TEST_F(IdSnpp, TextWithLineBreaksGoesAsDataDotStuffed) {
  Connect();
  client.SendPage("5551234", "Disk full\r\n.\r\n.QUIT\nend");
  EXPECT_EQ(Received(), (Lines{"PAGE 5551234", "DATA", "SEND"}));
  EXPECT_EQ(peer.DataTexts(), (Lines{"Disk full\n.\n.QUIT\nend"}));
}

TEST_F(IdSnpp, DataRefusedSendsNoText) {
  peer.Answer("DATA", "502 no DATA here");
  Connect();
  EXPECT_FALSE(client.DataCommand("a\r\nb"));
  client.SendPage("5551234", "a\r\nb");
  EXPECT_EQ(Received(), (Lines{"DATA", "PAGE 5551234", "DATA"}));
  EXPECT_TRUE(peer.DataTexts().empty());
}

TEST(IdSnppRealServer, PageAndDataTextArriveWhole) {
  TempHome folder(false);
  TLocalSnppServer server(folder.Path());
  TIdSNPP client(nullptr, 5000);
  client.Connect("127.0.0.1", server.Port());
  client.SendPage("5551234", "Disk full");
  client.SendPage("5550000", "Line one\r\n.\r\nLine three");
  client.Disconnect();
  EXPECT_EQ(server.Pages(), (std::vector<TLocalSnppServer::Page>{
                                {"5551234", "Disk full"},
                                {"5550000", "Line one\n.\nLine three\n"}}));
}

} // namespace
} // namespace voxmit::test
