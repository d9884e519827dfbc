// TAP over a modem and over a direct line, against the fake modem and paging terminal: the
// channel driven through its real worker (results per message) or by the test (Connect and its
// log lines), and far ends that misbehave.

#include <gtest/gtest.h>

#include "carriers/RegisterCarriers.h"
#include "carriers/TapFixture.h"

namespace voxmit::test {
namespace {

using namespace std::string_literals;

int CountLines(LogCapture& log, const std::string& line) {
  const auto& lines = log.Lines();
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

// ---- Results per message through the worker ------------------------------------------------------

enum class TLine { Modem, Direct };

struct TResultCase {
  const char* Name;
  TLine Line;
  // Scripts the far end; returns the peer the line (or the modem) should talk to.
  std::function<FakeLinePeer*(TapFixture& f, FakeTapTerminal& terminal)> Script;
  TMessageSendError Expected;
  size_t PagesReceived;
};

class TapResultTest : public TapFixture, public testing::WithParamInterface<TResultCase> {
public:
  // Public for the rows' scripts.
  using TapFixture::Own;
  using TapFixture::modem_;
};

TEST_P(TapResultTest, OneMessage) {
  const TResultCase& c = GetParam();
  FakeTapTerminal& terminal =
      Terminal(TerminalOptions(c.Line == TLine::Modem ? kPassword : "", TapLogonRefusal::EscEot));
  if (c.Line == TLine::Modem) {
    StartModemLine(nullptr);
    modem_->SetPeer(c.Script(*this, terminal));
  } else {
    StartLine(*c.Script(*this, terminal));
  }
  auto channel = c.Line == TLine::Modem ? Launch(CT_TAP, ModemDevice())
                                        : Launch(CT_DIRECT_TAP, DirectDevice());
  ASSERT_NE(channel, nullptr);
  channel->EnqueueMessage(41, "123", "HI", 0);
  const auto parts = Collect(*channel, 1);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0]->ID, 41);
  EXPECT_TRUE(parts[0]->Taken);
  EXPECT_EQ(parts[0]->SendError, c.Expected);
  EXPECT_EQ(terminal.Pages().size(), c.PagesReceived);
  if (c.PagesReceived == 1) {
    EXPECT_EQ(terminal.Pages()[0], (FakeTapTerminal::Page{"123", "HI"}));
    ASSERT_EQ(terminal.Blocks().size(), 1u);
    EXPECT_TRUE(terminal.Blocks()[0].checksumOk);
    EXPECT_EQ(terminal.Blocks()[0].bytes, "\x02" "123\rHI\r\x03" "146\r"s);
  }
}

FakeLinePeer* Plain(TapFixture&, FakeTapTerminal& terminal) { return &terminal; }

INSTANTIATE_TEST_SUITE_P(
    Results, TapResultTest,
    testing::Values(
        TResultCase{"ModemAck", TLine::Modem, Plain, MSE_OK, 1},
        TResultCase{"ModemRsAbandons", TLine::Modem,
                    [](TapFixture&, FakeTapTerminal& t) {
                      t.QueueBlockAnswer(TapBlockAnswer::Rs);
                      return static_cast<FakeLinePeer*>(&t);
                    },
                    MSE_ABANDONED, 0},
        TResultCase{"ModemNoIdPrompt", TLine::Modem,
                    [](TapFixture& f, FakeTapTerminal&) {
                      return static_cast<FakeLinePeer*>(
                          &static_cast<TapResultTest&>(f).Own<ScriptedPeer>(nullptr));
                    },
                    MSE_NO_LOGON_REQUEST, 0},
        TResultCase{"ModemWrongPassword", TLine::Modem,
                    [](TapFixture& f, FakeTapTerminal&) {
                      return static_cast<FakeLinePeer*>(
                          &static_cast<TapResultTest&>(f).Own<FakeTapTerminal>(
                              TerminalOptions("other", TapLogonRefusal::EscEot)));
                    },
                    MSE_LOGON_ERROR, 0},
        TResultCase{"ModemBusy", TLine::Modem,
                    [](TapFixture& f, FakeTapTerminal& t) {
                      static_cast<TapResultTest&>(f).modem_->SetDefaultDialAnswer({"BUSY"});
                      return static_cast<FakeLinePeer*>(&t);
                    },
                    MSE_NO_CONNECTION, 0},
        TResultCase{"ModemSwitchedOff", TLine::Modem,
                    [](TapFixture& f, FakeTapTerminal& t) {
                      static_cast<TapResultTest&>(f).modem_->SetSwitchedOff(true);
                      return static_cast<FakeLinePeer*>(&t);
                    },
                    MSE_NO_DEVICE, 0},
        TResultCase{"DirectAck", TLine::Direct, Plain, MSE_OK, 1},
        TResultCase{"DirectRsAbandons", TLine::Direct,
                    [](TapFixture&, FakeTapTerminal& t) {
                      t.QueueBlockAnswer(TapBlockAnswer::Rs);
                      return static_cast<FakeLinePeer*>(&t);
                    },
                    MSE_ABANDONED, 0},
        TResultCase{"DirectNoIdPrompt", TLine::Direct,
                    [](TapFixture& f, FakeTapTerminal&) {
                      return static_cast<FakeLinePeer*>(
                          &static_cast<TapResultTest&>(f).Own<ScriptedPeer>(nullptr));
                    },
                    MSE_NO_LOGON_REQUEST, 0},
        // The direct logon carries no password: a terminal that wants one never goes ahead.
        TResultCase{"DirectPasswordWanted", TLine::Direct,
                    [](TapFixture& f, FakeTapTerminal&) {
                      return static_cast<FakeLinePeer*>(
                          &static_cast<TapResultTest&>(f).Own<FakeTapTerminal>(
                              TerminalOptions("needed")));
                    },
                    MSE_LOGON_ERROR, 0}),
    [](const testing::TestParamInfo<TResultCase>& info) { return std::string(info.param.Name); });

// ---- Several messages ----------------------------------------------------------------------------

struct TLineCase {
  const char* Name;
  TLine Line;
};

class TapLineTest : public TapFixture, public testing::WithParamInterface<TLineCase> {
protected:
  // The terminal on the line (through the modem or straight), with a call counter in front.
  std::shared_ptr<TNBaseCarrierChannel> StartWith(FakeTapTerminal& terminal) {
    counter_ = &Own<CallCounter>(terminal);
    if (GetParam().Line == TLine::Modem) {
      StartModemLine(counter_);
      return Launch(CT_TAP, ModemDevice());
    }
    StartLine(*counter_);
    return Launch(CT_DIRECT_TAP, DirectDevice());
  }
  CallCounter* counter_ = nullptr;
};

const auto kBothLines = testing::Values(TLineCase{"Modem", TLine::Modem},
                                        TLineCase{"Direct", TLine::Direct});
const auto kLineName = [](const testing::TestParamInfo<TLineCase>& info) {
  return std::string(info.param.Name);
};

TEST_P(TapLineTest, TwentyMessagesGoOutNineNineAndTwoPerConnection) {
  FakeTapTerminal& terminal = Terminal(TerminalOptions(
      GetParam().Line == TLine::Modem ? std::optional<std::string>(kPassword) : std::nullopt));
  // Held device: every message is queued before the worker looks.
  auto device = GetParam().Line == TLine::Modem ? ModemDevice() : DirectDevice();
  ASSERT_TRUE(device->FreeEvent.TryTake());
  counter_ = &Own<CallCounter>(terminal);
  std::shared_ptr<TNBaseCarrierChannel> channel;
  if (GetParam().Line == TLine::Modem) {
    StartModemLine(counter_);
    channel = Launch(CT_TAP, device);
  } else {
    StartLine(*counter_);
    channel = Launch(CT_DIRECT_TAP, device);
  }
  ASSERT_NE(channel, nullptr);
  for (int i = 0; i < 20; ++i) channel->EnqueueMessage(100 + i, "77", "page " + std::to_string(i), 0);
  device->FreeEvent.Set();

  const auto parts = Collect(*channel, 20);
  ASSERT_EQ(parts.size(), 20u);
  for (const auto& part : parts) EXPECT_EQ(part->SendError, MSE_OK) << part->ID;
  EXPECT_EQ(terminal.Pages().size(), 20u);
  EXPECT_EQ(terminal.Logons().size(), 3u);
  // The last logoff follows the last result: the worker disconnects once its queue is empty.
  EXPECT_TRUE(WaitUntil([&] { return terminal.Logoffs() == 3; })) << terminal.Logoffs();
  if (GetParam().Line == TLine::Modem) {
    EXPECT_EQ(counter_->BlocksPerCall(), (std::vector<int>{9, 9, 2}));
    EXPECT_EQ(modem_->DialedNumbers().size(), 3u);
  } else {
    // A direct line is one call for the whole time; its logons split the blocks.
    EXPECT_EQ(counter_->BlocksPerCall(), (std::vector<int>{20}));
  }
}

TEST_P(TapLineTest, NakedMessageIsSentFourTimesBetweenTheOthers) {
  FakeTapTerminal& terminal = Terminal();
  // First message: NAK; second: ACK; then the first three more times: NAK.
  for (auto a : {TapBlockAnswer::Nak, TapBlockAnswer::Ack, TapBlockAnswer::Nak,
                 TapBlockAnswer::Nak, TapBlockAnswer::Nak})
    terminal.QueueBlockAnswer(a);
  auto device = GetParam().Line == TLine::Modem ? ModemDevice() : DirectDevice();
  ASSERT_TRUE(device->FreeEvent.TryTake());
  counter_ = &Own<CallCounter>(terminal);
  std::shared_ptr<TNBaseCarrierChannel> channel;
  if (GetParam().Line == TLine::Modem) {
    StartModemLine(counter_);
    channel = Launch(CT_TAP, device);
  } else {
    StartLine(*counter_);
    channel = Launch(CT_DIRECT_TAP, device);
  }
  ASSERT_NE(channel, nullptr);
  channel->EnqueueMessage(1, "10", "refused", 0);
  channel->EnqueueMessage(2, "20", "accepted", 0);
  device->FreeEvent.Set();

  const auto parts = Collect(*channel, 2);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0]->ID, 2);
  EXPECT_EQ(parts[0]->SendError, MSE_OK);
  EXPECT_EQ(parts[1]->ID, 1);
  EXPECT_EQ(parts[1]->SendError, MSE_RETRIES_EXCEEDED);
  EXPECT_EQ(parts[1]->RetryTimes, 4);
  const auto blocks = terminal.Blocks();
  ASSERT_EQ(blocks.size(), 5u);
  std::vector<std::string> order;
  for (const auto& b : blocks) order.push_back(b.page ? b.page->pagerId : "?");
  EXPECT_EQ(order, (std::vector<std::string>{"10", "20", "10", "10", "10"}));
  EXPECT_EQ(terminal.Pages(), (std::vector<FakeTapTerminal::Page>{{"20", "accepted"}}));
}

TEST_P(TapLineTest, EscEotDropsTheLineAndTheMessageGoesOnTheNextConnection) {
  FakeTapTerminal& terminal = Terminal();
  terminal.QueueBlockAnswer(TapBlockAnswer::EscEot);
  auto channel = StartWith(terminal);
  ASSERT_NE(channel, nullptr);
  channel->EnqueueMessage(1, "10", "again", 0);
  const auto parts = Collect(*channel, 1);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0]->SendError, MSE_OK);
  EXPECT_EQ(parts[0]->RetryTimes, 1);
  EXPECT_EQ(terminal.Blocks().size(), 2u);
  EXPECT_EQ(terminal.Logons().size(), 2u);
  EXPECT_TRUE(log_.HasPart("Hanging-Up on Provider's Request"));
  if (GetParam().Line == TLine::Modem) {
    EXPECT_EQ(modem_->DialedNumbers().size(), 2u);
  }
}

// The far end goes away while the channel holds the line: the next message comes back with a
// failure, the channel ends and the device is free again.
TEST_P(TapLineTest, PortThatDisappearsEndsThePartAndFreesTheDevice) {
  FakeTapTerminal& terminal = Terminal();
  auto channel = StartWith(terminal);
  ASSERT_NE(channel, nullptr);
  channel->EnqueueMessage(1, "10", "first", 0);
  auto parts = Collect(*channel, 1);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0]->SendError, MSE_OK);

  line_->Stop();
  pty_.CloseMaster();
  channel->EnqueueMessage(2, "10", "second", 0);
  parts = Collect(*channel, 1);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_TRUE(parts[0]->Taken);
  EXPECT_NE(parts[0]->SendError, MSE_OK);
  const auto& device = channel->Device();
  EXPECT_TRUE(WaitUntil([&] { return device->FreeEvent.IsSet(); }, 30s));
  EXPECT_TRUE(WaitUntil([&] { return TNThreadRegistry::Instance().Running() == 0; }, 30s));
  EXPECT_EQ(list_->Count(), 0);
}

INSTANTIATE_TEST_SUITE_P(Lines, TapLineTest, kBothLines, kLineName);

// ---- Connect and Disconnect driven by the test ---------------------------------------------------

TEST_F(TapFixture, ConnectLogsEachStepAndDisconnectWaitsForNoCarrier) {
  FakeTapTerminal& terminal = Terminal(TerminalOptions(kPassword));
  StartModemLine(&terminal);
  auto& channel = Drive<TChannelTap>("TChannelTap", ModemDevice());
  ASSERT_TRUE(channel.InitPort());
  ASSERT_TRUE(channel.InitDevice());
  EXPECT_EQ(channel.Connect(), crConnected);
  for (const char* line :
       {"ChannelTap, connecting ", "ChannelTap, receiving ID= succeeded",
        "ChannelTap, sending <ESC>PG1, waiting for <ESC>[P<CR> ",
        "ChannelTap, receiving <ESC>[P<CR> succeeded"})
    EXPECT_TRUE(log_.Has(line)) << line;
  ASSERT_EQ(terminal.Logons().size(), 1u);
  EXPECT_EQ(terminal.Logons()[0].password, kPassword);

  TNBaseChannelMessage part;
  part.PagerID = "123";
  part.MessageText = "A\x07";
  EXPECT_EQ(channel.SendMessage(part), srSent);
  EXPECT_EQ(channel.Device()->Activity(), "TChannelTap - Sending Message");
  EXPECT_EQ(terminal.Pages(), (std::vector<FakeTapTerminal::Page>{{"123", "A\x07"}}));

  EXPECT_TRUE(channel.Disconnect());
  EXPECT_EQ(terminal.Logoffs(), 1);
  EXPECT_FALSE(modem_->InCall());
  EXPECT_EQ(channel.Device()->Activity(), "TChannelTap - Hanged Up");
}

TEST_F(TapFixture, WrongPasswordIsTriedLogonRetriesPlusOneTimes) {
  settings::LogonRetries = 2;
  FakeTapTerminal& terminal =
      Terminal(TerminalOptions("other", TapLogonRefusal::EscEot));
  StartModemLine(&terminal);
  auto& channel = Drive<TChannelTap>("TChannelTap", ModemDevice());
  ASSERT_TRUE(channel.InitPort());
  ASSERT_TRUE(channel.InitDevice());
  EXPECT_EQ(channel.Connect(), crLogonError);
  EXPECT_EQ(terminal.Logons().size(), 3u);
  EXPECT_EQ(modem_->DialedNumbers().size(), 3u);
  EXPECT_EQ(CountLines(log_, "ChannelTap, receiving <ESC>[P<CR> failed"), 3);
}

// A pseudo-terminal has no modem lines, so the port's seam shows what DTR was asked to do:
// dropped to hang up before the dial, raised for the call, dropped again after the logoff.
TEST_F(TapFixture, DialRaisesDtrAndEveryHangUpDropsIt) {
  FakeTapTerminal& terminal = Terminal(TerminalOptions(kPassword));
  StartModemLine(&terminal);
  auto& channel = Drive<TChannelTap>("TChannelTap", ModemDevice());
  ASSERT_TRUE(channel.InitPort());
  std::vector<bool> dtr;
  channel.PortHandle->OnDtrChange = [&](bool on) { dtr.push_back(on); };
  ASSERT_TRUE(channel.InitDevice());
  ASSERT_EQ(channel.Connect(), crConnected);
  EXPECT_EQ(dtr, (std::vector<bool>{false, true}));
  channel.Disconnect();
  EXPECT_EQ(dtr, (std::vector<bool>{false, true, false}));
}

TEST_F(TapFixture, FailedDialIsNotRetriedByConnect) {
  settings::LogonRetries = 3;
  StartModemLine(&Terminal());
  modem_->SetDefaultDialAnswer({"NO CARRIER"});
  auto& channel = Drive<TChannelTap>("TChannelTap", ModemDevice(",ATZ,,false,2,1"));
  ASSERT_TRUE(channel.InitPort());
  ASSERT_TRUE(channel.InitDevice());
  EXPECT_EQ(channel.Connect(), crNoConnection);
  EXPECT_EQ(modem_->DialedNumbers().size(), 2u);  // the dial's own attempts only
  // The hang-up after the failed dial does not hide why the call failed.
  EXPECT_EQ(channel.Device()->Activity(), "TChannelTap - Error: DialUp - No Carrier (Phone: 5551234)");
}

TEST_F(TapFixture, DirectDisconnectWaitsForTheTerminalsEscEot) {
  FakeTapTerminal& terminal = Terminal();
  StartLine(terminal);
  auto& channel = Drive<TChannelDirectTap>("TChannelDirectTap", DirectDevice());
  ASSERT_TRUE(channel.InitPort());
  EXPECT_TRUE(channel.InitDevice());
  EXPECT_EQ(channel.Connect(), crConnected);
  ASSERT_EQ(terminal.Logons().size(), 1u);
  EXPECT_EQ(terminal.Logons()[0].password, "");
  EXPECT_TRUE(channel.Disconnect());
  EXPECT_EQ(terminal.Logoffs(), 1);
  // The next logon on the same line works again.
  EXPECT_EQ(channel.Connect(), crConnected);
}

// ---- Far ends that misbehave ---------------------------------------------------------------------

struct TNoiseCase {
  const char* Name;
  ScriptedPeer::TReply Reply;
  std::string Noise;
  TChannelConnectResult Expected;
};

class DirectNoiseTest : public TapFixture, public testing::WithParamInterface<TNoiseCase> {};

TEST_P(DirectNoiseTest, ConnectEndsWithinItsDeadlines) {
  const TNoiseCase& c = GetParam();
  StartLine(Own<ScriptedPeer>(c.Reply, c.Noise));
  auto& channel = Drive<TChannelDirectTap>("TChannelDirectTap", DirectDevice());
  ASSERT_TRUE(channel.InitPort());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(channel.Connect(), c.Expected);
  // Three prompts of 2 s and one logon of 10 s at most, with room to spare.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
}

std::string Echo(std::string_view bytes) { return std::string(bytes); }

INSTANTIATE_TEST_SUITE_P(
    Noise, DirectNoiseTest,
    testing::Values(
        TNoiseCase{"Garbage", [](std::string_view) { return "\xFF\x00\x13garbage"s; }, "",
                   crNoLogonRequest},
        TNoiseCase{"LineNoise", nullptr, "\x7F\x15#", crNoLogonRequest},
        TNoiseCase{"EchoOnly", Echo, "", crNoLogonRequest},
        TNoiseCase{"HalfPrompt", [](std::string_view) { return "I"s; }, "", crNoLogonRequest},
        TNoiseCase{"HalfGoAhead",
                   [](std::string_view b) {
                     return b.find("PG1") != std::string_view::npos ? "\x1B["s : "ID="s;
                   },
                   "", crLogonError}),
    [](const testing::TestParamInfo<TNoiseCase>& info) { return std::string(info.param.Name); });

TEST_F(TapFixture, HalfAnswerToABlockIsNoAnswer) {
  // Logs on properly, then answers a block with the first byte of ESC EOT only.
  StartLine(Own<ScriptedPeer>([](std::string_view b) {
    if (b.find("PG1") != std::string_view::npos) return "\x1B[p\r"s;
    if (b.find('\x02') != std::string_view::npos) return "\x1B"s;
    return "ID="s;
  }));
  auto& channel = Drive<TChannelDirectTap>("TChannelDirectTap", DirectDevice());
  ASSERT_TRUE(channel.InitPort());
  ASSERT_EQ(channel.Connect(), crConnected);
  TNBaseChannelMessage part;
  part.PagerID = "1";
  part.MessageText = "x";
  EXPECT_EQ(channel.SendMessage(part), srNoAnswer);
}

// ---- Registration --------------------------------------------------------------------------------

TEST(RegisterCarriers, BothTapClassesAreRegisteredOnce) {
  RegisterCarrierChannels();
  RegisterCarrierChannels();  // a second call changes nothing and warns about nothing
  const auto tap = FindChannelClass(CT_TAP);
  const auto direct = FindChannelClass(CT_DIRECT_TAP);
  ASSERT_NE(tap, nullptr);
  ASSERT_NE(direct, nullptr);
  EXPECT_EQ(tap->ClassName(), "TChannelTap");
  EXPECT_EQ(direct->ClassName(), "TChannelDirectTap");
  const int32_t savedTap = settings::InputBufferLimitTAP;
  settings::InputBufferLimitTAP = 27;
  EXPECT_EQ(tap->GetBufferLimits().Input, 27);
  EXPECT_EQ(direct->GetBufferLimits().Input, 10000);
  EXPECT_EQ(direct->GetBufferLimits().Output, settings::OutputBufferLimit.load());
  settings::InputBufferLimitTAP = savedTap;
}

} // namespace
} // namespace voxmit::test
