// PACNET against the fake modem and the fake PAD on a pseudo-terminal: results per message
// through the channel's real worker, the connect and disconnect dialogues driven by the test,
// far ends that misbehave, and stops in the middle of a dialogue.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "carriers/ChannelPacnet.h"
#include "carriers/RegisterCarriers.h"
#include "carriers/TapFixture.h"
#include "support/ChannelResults.h"
#include "support/FakePacnetPad.h"

namespace voxmit::test {
namespace {

using namespace std::string_literals;

constexpr const char* kUserId = "VOXNET";
constexpr const char* kAddress = "311020100";
const std::string kPacnetSettings = "5551234,120,9600,\"8,N,1\",VOXNET,311020100";

// The serial fixture with the PACNET settings short and saved, and channels of the PACNET
// class.
class PacnetFixture : public TapFixture {
protected:
  void SetUp() override {
    TapFixture::SetUp();
    saved_ = {settings::HeraldTimeoutPACNET, settings::LogonTimeoutPACNET,
              settings::SendMessageTimeoutPACNET, settings::MaxMessagesPerConnectionPACNET,
              settings::InputBufferLimitPACNET, settings::DtrHangupDelay,
              settings::ModemResponseTimeout};
    settings::HeraldTimeoutPACNET = 1000;
    settings::LogonTimeoutPACNET = 1000;
    settings::SendMessageTimeoutPACNET = 1000;
    settings::MaxMessagesPerConnectionPACNET = 10000;
    // The fake modem answers at once; the port's settle pause at every channel's end need
    // not be long.
    settings::ModemResponseTimeout = 300;
  }

  void TearDown() override {
    EXPECT_TRUE(CloseAndDrain(channels_)) << "a channel thread did not end";
    channels_.clear();
    TapFixture::TearDown();
    settings::HeraldTimeoutPACNET = saved_[0];
    settings::LogonTimeoutPACNET = saved_[1];
    settings::SendMessageTimeoutPACNET = saved_[2];
    settings::MaxMessagesPerConnectionPACNET = saved_[3];
    settings::InputBufferLimitPACNET = saved_[4];
    settings::DtrHangupDelay = saved_[5];
    settings::ModemResponseTimeout = saved_[6];
  }

  // The PAD behind the modem on the line.
  FakePacnetPad& StartPad(FakePacnetPad::Options options = {}) {
    FakePacnetPad& pad = Own<FakePacnetPad>(std::move(options));
    StartModemLine(&pad);
    return pad;
  }

  // A channel with its real worker, built through the class entry.
  std::shared_ptr<TNBaseCarrierChannel> Launch(const std::string& carrierSettings = kPacnetSettings,
                                               std::shared_ptr<TNDevice> device = nullptr) {
    if (!device) device = ModemDevice();
    auto channel = MakeChannelClass<TChannelPacnet>("TChannelPacnet")
                       ->Create(list_, CT_PACNET, 1, carrierSettings, std::move(device));
    EXPECT_NE(channel, nullptr);
    if (channel) channels_.push_back(channel);
    return channel;
  }

  // A channel the test drives itself, its port open and its modem initialised.
  TDriven<TChannelPacnet>& Ready(const std::string& carrierSettings = kPacnetSettings,
                                 const std::string& modemSettings = ",ATQ0V1M1E0X4,,false,1,1") {
    auto& channel = Drive<TChannelPacnet>("TChannelPacnet", ModemDevice(modemSettings),
                                          carrierSettings);
    EXPECT_TRUE(channel.InitPort());
    EXPECT_TRUE(channel.InitDevice());
    return channel;
  }

  // Sends one message through a new channel and returns its part (null when none came back).
  TPart SendOne(const std::string& pager, const std::string& text,
                const std::string& carrierSettings = kPacnetSettings) {
    auto channel = Launch(carrierSettings);
    if (!channel) return nullptr;
    channel->EnqueueMessage(41, pager, text, 0);
    const auto parts = Collect(*channel, 1);
    return parts.empty() ? nullptr : parts[0];
  }

  std::vector<std::string> LinesOf(const FakePacnetPad& pad) {
    std::vector<std::string> lines;
    for (const auto& line : pad.Lines()) lines.push_back(line.bytes);
    return lines;
  }

private:
  std::vector<int32_t> saved_;
  std::vector<std::shared_ptr<TNBaseCarrierChannel>> channels_;
};

// ---- Results per message through the worker ------------------------------------------------------

struct TResultCase {
  const char* Name;
  FakePacnetPad::Options Options;
  std::function<void(FakePacnetPad&, FakeModem&)> Script;
  std::string Pager;
  std::string Text;
  TMessageSendError Expected;
  int32_t RetryTimes;
  std::vector<std::string> Lines;  // what the service received
  int Calls;                       // calls the modem put through
};

class PacnetResultTest : public PacnetFixture, public testing::WithParamInterface<TResultCase> {};

TEST_P(PacnetResultTest, OneMessage) {
  const TResultCase& c = GetParam();
  FakePacnetPad& pad = StartPad(c.Options);
  if (c.Script) c.Script(pad, *modem_);
  const TPart part = SendOne(c.Pager, c.Text);
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->ID, 41);
  EXPECT_TRUE(part->Taken);
  EXPECT_EQ(part->SendError, c.Expected);
  EXPECT_EQ(part->RetryTimes, c.RetryTimes);
  EXPECT_EQ(LinesOf(pad), c.Lines);
  EXPECT_EQ(modem_->CallsConnected(), c.Calls);
  for (const auto& call : pad.CallRequests())
    EXPECT_EQ(call, (FakePacnetPad::CallRequest{kUserId, kAddress}));
  for (const auto& number : modem_->DialedNumbers()) EXPECT_EQ(number, "5551234");
}

FakePacnetPad::Options Herald(std::string herald) {
  FakePacnetPad::Options options;
  options.herald = std::move(herald);
  return options;
}

std::function<void(FakePacnetPad&, FakeModem&)> Answers(std::vector<std::string> answers) {
  return [answers](FakePacnetPad& pad, FakeModem&) {
    for (const auto& a : answers) pad.QueueLineAnswer({a});
  };
}

INSTANTIATE_TEST_SUITE_P(
    Results, PacnetResultTest,
    testing::Values(
        TResultCase{"Sent", {}, nullptr, "1234", "HELLO", MSE_OK, 0, {"1234@HELLO"}, 1},
        TResultCase{"SentAndHangUpCodeTogetherIsSent", {}, Answers({"?00\r\n?92"}), "1234",
                    "HELLO", MSE_OK, 0, {"1234@HELLO"}, 1},
        TResultCase{"Code90Abandons", {}, Answers({"?90"}), "1234", "HELLO", MSE_ABANDONED, 0,
                    {"1234@HELLO"}, 1},
        TResultCase{"Code11Abandons", {}, Answers({"?11"}), "1234", "HELLO", MSE_ABANDONED, 0,
                    {"1234@HELLO"}, 1},
        TResultCase{"Code99IsRetriedOnTheSameCall", {}, Answers({"?99"}), "1234", "HELLO",
                    MSE_OK, 1, {"1234@HELLO", "1234@HELLO"}, 1},
        TResultCase{"Code92IsRetriedOnANewCall", {}, Answers({"?92"}), "1234", "HELLO", MSE_OK,
                    1, {"1234@HELLO", "1234@HELLO"}, 2},
        TResultCase{"Code99ForeverExceedsTheRetries", {},
                    [](FakePacnetPad& pad, FakeModem&) { pad.SetDefaultLineAnswer({"?99"}); },
                    "1234", "HELLO", MSE_RETRIES_EXCEEDED, 4,
                    {"1234@HELLO", "1234@HELLO", "1234@HELLO", "1234@HELLO"}, 1},
        // The PAD echoes the line: the code inside the text is not the service's answer.
        TResultCase{"CodeInTheEchoedTextIsNotTheAnswer", {}, Answers({"?90"}), "1234",
                    "HELLO ?00", MSE_ABANDONED, 0, {"1234@HELLO ?00"}, 1},
        TResultCase{"NoHerald", Herald(""), nullptr, "1234", "HELLO", MSE_NO_LOGON_REQUEST, 0, {},
                    1},
        TResultCase{"WrongHerald", Herald("WELCOME"), nullptr, "1234", "HELLO",
                    MSE_NO_LOGON_REQUEST, 0, {}, 1},
        TResultCase{"CallCleared", {},
                    [](FakePacnetPad& pad, FakeModem&) {
                      pad.QueueCallAnswer({PacnetCallAnswer::Clear});
                    },
                    "1234", "HELLO", MSE_LOGON_ERROR, 0, {}, 1},
        TResultCase{"NoPromptAfterTheCall", {},
                    [](FakePacnetPad& pad, FakeModem&) {
                      pad.QueueCallAnswer({PacnetCallAnswer::Silent});
                    },
                    "1234", "HELLO", MSE_LOGON_ERROR, 0, {}, 1},
        TResultCase{"BusyLine", {},
                    [](FakePacnetPad&, FakeModem& modem) { modem.SetDefaultDialAnswer({"BUSY"}); },
                    "1234", "HELLO", MSE_NO_CONNECTION, 0, {}, 0},
        // The service would split at the "@" and page 12: given up, never sent.
        TResultCase{"AtSignInThePagerIdAbandons", {}, nullptr, "12@34", "HELLO", MSE_ABANDONED,
                    0, {}, 1},
        TResultCase{"PadRecallInTheTextAbandons", {}, nullptr, "1234", "A\x10" "CLR",
                    MSE_ABANDONED, 0, {}, 1}),
    [](const testing::TestParamInfo<TResultCase>& info) { return std::string(info.param.Name); });

TEST_F(PacnetFixture, ProviderHangUpDropsTheLineWithoutClearingAndTheNextCallEndsWithClr) {
  FakePacnetPad& pad = StartPad();
  pad.QueueLineAnswer({"?92"});
  const TPart part = SendOne("1234", "HELLO");
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->SendError, MSE_OK);
  EXPECT_TRUE(log_.HasPart("Hanging-Up on Provider's Request"));
  // One CLR only: the one after the second call's line.
  ASSERT_TRUE(WaitUntil([&] { return pad.Clears() == 1; }));
  const std::string sent = pad.Received();
  EXPECT_EQ(sent.find("CLR\r"), sent.rfind("CLR\r"));
  EXPECT_GT(sent.find("CLR\r"), sent.rfind("1234@HELLO\r"));
  EXPECT_TRUE(WaitUntil([&] { return !modem_->InCall(); }));
}

// ---- Calls and their length ----------------------------------------------------------------------

struct TPerCallCase {
  const char* Name;
  int32_t Limit;
  int Messages;
  int Calls;
};

class PacnetPerCallTest : public PacnetFixture, public testing::WithParamInterface<TPerCallCase> {};

TEST_P(PacnetPerCallTest, MessagesPerConnection) {
  const TPerCallCase& c = GetParam();
  settings::MaxMessagesPerConnectionPACNET = c.Limit;
  FakePacnetPad& pad = StartPad();
  // Held device: every message is queued before the worker looks.
  auto device = ModemDevice();
  ASSERT_TRUE(device->FreeEvent.TryTake());
  auto channel = Launch(kPacnetSettings, device);
  ASSERT_NE(channel, nullptr);
  for (int i = 0; i < c.Messages; ++i) channel->EnqueueMessage(i, "77", "page " + std::to_string(i), 0);
  device->FreeEvent.Set();
  const auto parts = Collect(*channel, static_cast<size_t>(c.Messages));
  ASSERT_EQ(parts.size(), static_cast<size_t>(c.Messages));
  for (const auto& part : parts) EXPECT_EQ(part->SendError, MSE_OK) << part->ID;
  EXPECT_EQ(pad.Pages().size(), static_cast<size_t>(c.Messages));
  EXPECT_EQ(pad.Pages().back(), std::make_pair("77"s, "page " + std::to_string(c.Messages - 1)));
  EXPECT_EQ(modem_->CallsConnected(), c.Calls);
  // Every call ends with CLR.
  EXPECT_TRUE(WaitUntil([&] { return pad.Clears() == c.Calls; }));
}

INSTANTIATE_TEST_SUITE_P(
    Limits, PacnetPerCallTest,
    testing::Values(TPerCallCase{"DefaultSendsEverythingOnOneCall", 10000, 25, 1},
                    TPerCallCase{"TwoPerCall", 2, 5, 3},
                    // A limit below 1 counts as 1.
                    TPerCallCase{"ZeroIsOne", 0, 2, 2}),
    [](const testing::TestParamInfo<TPerCallCase>& info) { return std::string(info.param.Name); });

// ---- Connect and Disconnect driven by the test ---------------------------------------------------

TEST_F(PacnetFixture, ConnectDialsWaitsForTheHeraldAndPlacesTheCall) {
  FakePacnetPad& pad = StartPad();
  auto& channel = Ready();
  EXPECT_EQ(channel.Connect(), crConnected);
  EXPECT_EQ(pad.Heralds(), 1);
  EXPECT_EQ(pad.CallRequests(),
            (std::vector<FakePacnetPad::CallRequest>{{kUserId, kAddress}}));
  EXPECT_TRUE(pad.InDataTransfer());
  EXPECT_EQ(modem_->DialedNumbers(), std::vector<std::string>{"5551234"});

  TNBaseChannelMessage part;
  part.PagerID = "1234";
  part.MessageText = "HELLO";
  EXPECT_EQ(channel.SendMessage(part), srSent);
  EXPECT_EQ(channel.Device()->Activity(), "TChannelPacnet - Sending Message");
  EXPECT_EQ(pad.Received(), "NVOXNET-311020100\r1234@HELLO\r");
}

struct TConnectCase {
  const char* Name;
  FakePacnetPad::Options Options;
  std::function<void(FakePacnetPad&, FakeModem&)> Script;
  int32_t LogonRetries;
  TChannelConnectResult Expected;
  size_t Dials;
  size_t CallRequests;
};

class PacnetConnectTest : public PacnetFixture,
                          public testing::WithParamInterface<TConnectCase> {};

TEST_P(PacnetConnectTest, AttemptsAndResult) {
  const TConnectCase& c = GetParam();
  settings::LogonRetries = c.LogonRetries;
  FakePacnetPad& pad = StartPad(c.Options);
  if (c.Script) c.Script(pad, *modem_);
  auto& channel = Ready(kPacnetSettings, ",ATZ,,false,2,1");
  EXPECT_EQ(channel.Connect(), c.Expected);
  EXPECT_EQ(modem_->DialedNumbers().size(), c.Dials);
  EXPECT_EQ(pad.CallRequests().size(), c.CallRequests);
  if (c.Expected != crConnected) {
    // A failed connect leaves no call up.
    EXPECT_EQ(channel.Device()->Activity(), "TChannelPacnet - Hanged Up");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Attempts, PacnetConnectTest,
    testing::Values(
        // Every attempt dials anew; at most LogonRetries + 1 of them.
        TConnectCase{"NoHeraldThreeAttempts", Herald(""), nullptr, 2, crNoLogonRequest, 3, 0},
        TConnectCase{"ClearedTwiceThenThrough", {},
                     [](FakePacnetPad& pad, FakeModem&) {
                       pad.QueueCallAnswer({PacnetCallAnswer::Clear, "NP"});
                       pad.QueueCallAnswer({PacnetCallAnswer::Clear, "OCC"});
                     },
                     3, crConnected, 3, 3},
        TConnectCase{"ClearedEveryTime", {},
                     [](FakePacnetPad& pad, FakeModem&) {
                       for (int i = 0; i < 2; ++i) pad.QueueCallAnswer({PacnetCallAnswer::Clear});
                     },
                     1, crLogonError, 2, 2},
        TConnectCase{"NoPromptThenCleared", {},
                     [](FakePacnetPad& pad, FakeModem&) {
                       pad.QueueCallAnswer({PacnetCallAnswer::Silent});
                       pad.QueueCallAnswer({PacnetCallAnswer::Clear});
                     },
                     1, crLogonError, 2, 2},
        // A failed dial made its own redial attempts (two here) and ends Connect at once.
        TConnectCase{"BusyIsNotRetriedByConnect", {},
                     [](FakePacnetPad&, FakeModem& modem) { modem.SetDefaultDialAnswer({"BUSY"}); },
                     3, crNoConnection, 2, 0}),
    [](const testing::TestParamInfo<TConnectCase>& info) { return std::string(info.param.Name); });

TEST_F(PacnetFixture, DisconnectWhenNotConnectedSendsNoClrButDropsTheLine) {
  FakePacnetPad& pad = StartPad();
  auto& channel = Ready();
  ASSERT_EQ(channel.Connect(), crConnected);
  // Driven by the test, the channel is not marked connected: as after a provider hang-up.
  ASSERT_FALSE(channel.Connected());
  EXPECT_TRUE(channel.Disconnect());
  EXPECT_EQ(pad.Clears(), 0);
  EXPECT_EQ(pad.Received().find("CLR"), std::string::npos);
  EXPECT_EQ(channel.Device()->Activity(), "TChannelPacnet - Hanged Up");
}

TEST_F(PacnetFixture, ConnectedChannelClearsTheCallWhenItsQueueRunsEmpty) {
  FakePacnetPad& pad = StartPad();
  const TPart part = SendOne("1234", "HELLO");
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->SendError, MSE_OK);
  ASSERT_TRUE(WaitUntil([&] { return pad.Clears() == 1; }));
  // The PAD hung up after CLR CONF and the modem said NO CARRIER; then the DTR hang-up.
  EXPECT_TRUE(WaitUntil([&] { return !modem_->InCall(); }));
  EXPECT_EQ(pad.Received(), "NVOXNET-311020100\r1234@HELLO\rCLR\r");
}

// ---- Settings -------------------------------------------------------------------------------------

TEST_F(PacnetFixture, SettingsDefaultsReachTheChannel) {
  auto& channel =
      Drive<TChannelPacnet>("TChannelPacnet", ModemDevice(), "5551234,,,\"8,N,1\",U,A");
  EXPECT_EQ(channel.MaxLength(), 120);
  EXPECT_EQ(channel.Settings().BaudRate, 9600);
  EXPECT_EQ(channel.Settings().ByteSize, 8);
  EXPECT_EQ(channel.Settings().PhoneNumber, "5551234");
  EXPECT_EQ(channel.GetMaxMessagesPerConnection(), 10000);
  EXPECT_EQ(TChannelPacnet::GetBufferLimits().Input, 1000);
  EXPECT_EQ(TChannelPacnet::GetBufferLimits().Output, settings::OutputBufferLimit.load());
}

struct TBadSettingsCase {
  const char* Name;
  std::string Settings;
  TMessageSendError Expected;
};

class PacnetBadSettingsTest : public PacnetFixture,
                              public testing::WithParamInterface<TBadSettingsCase> {};

// Invalid settings fail the message with a log line, and nothing is dialled.
TEST_P(PacnetBadSettingsTest, FailTheMessageWithoutDialling) {
  const TBadSettingsCase& c = GetParam();
  StartPad();
  const TPart part = SendOne("1234", "HELLO", c.Settings);
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->SendError, c.Expected);
  EXPECT_TRUE(modem_->DialedNumbers().empty());
  EXPECT_TRUE(log_.Has("ChannelPacnet, invalid carrier settings: \"" + c.Settings + "\""));
}

INSTANTIATE_TEST_SUITE_P(
    Settings, PacnetBadSettingsTest,
    testing::Values(
        // Nothing read: no length for a part.
        TBadSettingsCase{"FiveFields", "5551234,120,9600,\"8,N,1\",VOXNET", MSE_ABANDONED},
        // No data bits: the port cannot be configured.
        TBadSettingsCase{"DataBitsNotANumber", "5551234,120,9600,\"x,N,1\",VOXNET,1",
                         MSE_NO_PORT},
        TBadSettingsCase{"StopBitsNotANumber", "5551234,120,9600,\"8,N,x\",VOXNET,1",
                         MSE_NO_CONNECTION}),
    [](const testing::TestParamInfo<TBadSettingsCase>& info) {
      return std::string(info.param.Name);
    });

// ---- Far ends that misbehave ---------------------------------------------------------------------

struct TBadPeerCase {
  const char* Name;
  PacnetLineAnswer Answer;  // to every line
};

class PacnetBadPeerTest : public PacnetFixture, public testing::WithParamInterface<TBadPeerCase> {};

// Whatever the service answers, the message ends with a result within the time-outs: no
// answer, retried on a new call, then given up.
TEST_P(PacnetBadPeerTest, MessageEndsWithinTheTimeouts) {
  settings::MessageRetries = 1;
  FakePacnetPad& pad = StartPad();
  pad.SetDefaultLineAnswer(GetParam().Answer);
  const auto start = std::chrono::steady_clock::now();
  const TPart part = SendOne("1234", "HELLO");
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->SendError, MSE_RETRIES_EXCEEDED);
  EXPECT_EQ(part->RetryTimes, 2);
  EXPECT_EQ(LinesOf(pad), (std::vector<std::string>{"1234@HELLO", "1234@HELLO"}));
  EXPECT_EQ(modem_->CallsConnected(), 2);
  // Two answers of 1 s at most, and the dialling around them.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
}

INSTANTIATE_TEST_SUITE_P(
    Peers, PacnetBadPeerTest,
    testing::Values(TBadPeerCase{"Garbage", {"\xFF\x00\x1B[2J?0 ?9\x7F"s}},
                    TBadPeerCase{"OverLongLine", {std::string(20000, 'x')}},
                    TBadPeerCase{"Silent", {""}},
                    TBadPeerCase{"HangsUpAfterTheLine", {"", true}},
                    TBadPeerCase{"HalfACodeThenHangsUp", {"?9", true}}),
    [](const testing::TestParamInfo<TBadPeerCase>& info) { return std::string(info.param.Name); });

TEST_F(PacnetFixture, PadHangingUpAtTheCallRequestIsALogonError) {
  FakePacnetPad& pad = StartPad();
  pad.QueueCallAnswer({PacnetCallAnswer::HangUp});
  const TPart part = SendOne("1234", "HELLO");
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->SendError, MSE_LOGON_ERROR);
  EXPECT_TRUE(pad.Lines().empty());
}

// ---- Stopping in the middle of a dialogue --------------------------------------------------------

struct TStopCase {
  const char* Name;
  FakePacnetPad::Options Options;
  std::function<void(FakePacnetPad&)> Script;
  // Seen once the channel waits for the far end.
  std::function<bool(FakePacnetPad&, FakeModem&)> Waiting;
  int32_t RetryTimes;  // attempts counted when it comes back
};

class PacnetStopTest : public PacnetFixture, public testing::WithParamInterface<TStopCase> {};

// The server's own time-outs (20 s for the herald, 15 s for the answers) and DTR pause (3 s):
// a stop still ends the dialogue at once, and the part goes back to be sent later.
TEST_P(PacnetStopTest, CloseEndsTheWaitWithinTwoSeconds) {
  const TStopCase& c = GetParam();
  settings::HeraldTimeoutPACNET = 20000;
  settings::LogonTimeoutPACNET = 15000;
  settings::SendMessageTimeoutPACNET = 15000;
  FakePacnetPad& pad = StartPad(c.Options);
  if (c.Script) c.Script(pad);
  auto channel = Launch();
  ASSERT_NE(channel, nullptr);
  channel->EnqueueMessage(7, "1234", "HELLO", 0);
  ASSERT_TRUE(WaitUntil([&] { return c.Waiting(pad, *modem_); }, 20s));
  std::this_thread::sleep_for(200ms);  // well inside the wait; it lasts 15 s or more
  // The hang-up that follows the interrupted dialogue pauses no longer either. (The pause
  // that lets the port settle after it closes, 300 ms here, is the hardware's own and is kept.)
  settings::DtrHangupDelay = 3000;

  const auto closedAt = std::chrono::steady_clock::now();
  channel->Close();
  const auto parts = Collect(*channel, 1, 10s);
  ASSERT_TRUE(WaitUntil([&] { return TNThreadRegistry::Instance().Running() == 0; }, 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - closedAt, 2s);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_FALSE(parts[0]->Taken) << "handed back to be sent later";
  EXPECT_EQ(parts[0]->SendError, MSE_OK);
  EXPECT_EQ(parts[0]->RetryTimes, c.RetryTimes);
  EXPECT_TRUE(channel->Device()->FreeEvent.IsSet());
}

INSTANTIATE_TEST_SUITE_P(
    Waits, PacnetStopTest,
    testing::Values(
        TStopCase{"HeraldWait", Herald(""), nullptr,
                  [](FakePacnetPad&, FakeModem& modem) { return modem.CallsConnected() == 1; }, 0},
        TStopCase{"PromptWait", {},
                  [](FakePacnetPad& pad) { pad.QueueCallAnswer({PacnetCallAnswer::Silent}); },
                  [](FakePacnetPad& pad, FakeModem&) { return !pad.CallRequests().empty(); }, 0},
        // A line that went out counts as an attempt.
        TStopCase{"AnswerWait", {},
                  [](FakePacnetPad& pad) { pad.SetDefaultLineAnswer({""}); },
                  [](FakePacnetPad& pad, FakeModem&) { return !pad.Lines().empty(); }, 1}),
    [](const testing::TestParamInfo<TStopCase>& info) { return std::string(info.param.Name); });

// ---- Registration --------------------------------------------------------------------------------

TEST(RegisterCarriers, PacnetIsRegistered) {
  RegisterCarrierChannels();
  const auto cls = FindChannelClass(CT_PACNET);
  ASSERT_NE(cls, nullptr);
  EXPECT_EQ(cls->ClassName(), "TChannelPacnet");
  const int32_t saved = settings::InputBufferLimitPACNET;
  settings::InputBufferLimitPACNET = 1000;
  EXPECT_EQ(cls->GetBufferLimits().Input, 1000);
  EXPECT_EQ(cls->GetBufferLimits().Output, settings::OutputBufferLimit.load());
  settings::InputBufferLimitPACNET = saved;
}

} // namespace
} // namespace voxmit::test
