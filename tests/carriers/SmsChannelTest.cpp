// GSM SMS against the fake GSM modem on a pty: every mode through the real worker, with the
// modem decoding what it took; Connect, InitDevice and SendMessage driven by the test; modems
// and messages that misbehave; a stop while the network is awaited.

#include <gtest/gtest.h>

#include <future>

#include "carriers/ChannelSMS.h"
#include "carriers/RegisterCarriers.h"
#include "channels/LogCapture.h"
#include "channels/RegChannels.h"
#include "devices/Devices.h"
#include "host/ServerSettings.h"
#include "platform/ThreadRegistry.h"
#include "support/ChannelResults.h"
#include "support/FakeGsmModem.h"
#include "support/PtyPair.h"
#include "support/WaitUntil.h"

namespace voxmit::test {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using TPart = std::shared_ptr<TNBaseChannelMessage>;
using TKind = FakeSmsAnswer::Kind;

// The channel with its worker-side operations opened to a test that drives them itself.
class TDrivenSms : public TChannelSMS {
public:
  using TChannelSMS::TChannelSMS;
  using TChannelSMS::Connect;
  using TChannelSMS::Disconnect;
  using TChannelSMS::InitDevice;
  using TChannelSMS::InitPort;
  using TChannelSMS::ParseCarrierSettings;
  using TChannelSMS::ParseDeviceSettings;
  using TChannelSMS::PDUMode;
  using TChannelSMS::ResetPort;
  using TChannelSMS::SendMessage;
  using TChannelSMS::UnicodeText;
};

std::string SmsSettings(const std::string& centre = "", const std::string& pin = "",
                        bool unicode = false, int length = 160) {
  return centre + "," + pin + "," + std::to_string(length) + ",9600,\"8,N,1\"," +
         (unicode ? "true" : "false");
}

FakeGsmModem::Options Quiet() {
  FakeGsmModem::Options o;
  o.echo = true;  // as from the factory: the channel turns it off
  return o;
}

class SmsFixture : public ::testing::Test {
protected:
  void SetUp() override {
    saved_ = {settings::ModemResponseTimeout,      settings::DtrHangupDelay,
              settings::ModemDisconnectTimeout,    settings::MessageRetries,
              settings::ThreadWaitLoopTimeout,     settings::MaxMessagesPerConnectionSMS,
              settings::AddDateToMsg ? 1 : 0};
    settings::ModemResponseTimeout = 1000;
    settings::DtrHangupDelay = 10;
    settings::ModemDisconnectTimeout = 2000;
    settings::MessageRetries = 3;
    settings::ThreadWaitLoopTimeout = 50;
    settings::MaxMessagesPerConnectionSMS = 50;
    settings::AddDateToMsg = false;
  }

  void TearDown() override {
    driven_.reset();
    EXPECT_TRUE(CloseAndDrain(channels_)) << "a channel thread did not end";
    channels_.clear();
    if (line_) line_->Stop();
    settings::ModemResponseTimeout = saved_[0];
    settings::DtrHangupDelay = saved_[1];
    settings::ModemDisconnectTimeout = saved_[2];
    settings::MessageRetries = saved_[3];
    settings::ThreadWaitLoopTimeout = saved_[4];
    settings::MaxMessagesPerConnectionSMS = saved_[5];
    settings::AddDateToMsg = saved_[6] != 0;
  }

  FakeGsmModem& StartModem(FakeGsmModem::Options options = Quiet()) {
    if (line_) line_->Stop();
    modem_ = std::make_unique<FakeGsmModem>(std::move(options));
    line_ = std::make_unique<PtyLine>(pty_, *modem_);
    line_->Start();
    return *modem_;
  }

  std::shared_ptr<TNDevice> Device(bool pdu) {
    return std::make_shared<TNDevice>(
        TNDeviceRow{.ID = 3,
                    .TypeName = "GSM modem",
                    .SettingsData = pty_.SlavePath() + ",3,0," + (pdu ? "1" : "0"),
                    .DeviceKind = DK_GSM_MODEM,
                    .Name = "Gsm1"});
  }

  // A channel the test drives itself, settings parsed and its port open.
  TDrivenSms& Drive(const std::string& carrierSettings, bool pdu = false) {
    if (driven_) driven_->ResetPort();
    TNChannelArgs args;
    args.ClassName = "TChannelSMS";
    args.CarrierType = CT_GSM_SMS;
    args.CarrierID = 1;
    args.CarrierSettings = carrierSettings;
    args.Device = Device(pdu);
    auto channel = std::make_shared<TDrivenSms>(args);
    channel->ParseDeviceSettings();
    channel->ParseCarrierSettings();
    EXPECT_TRUE(channel->InitPort());
    driven_ = channel;
    return *channel;
  }

  // A channel with its real worker, built through the registered class's factory.
  std::shared_ptr<TNBaseCarrierChannel> Launch(const std::string& carrierSettings, bool pdu,
                                               std::shared_ptr<TNDevice> device = nullptr) {
    const auto cls = MakeChannelClass<TChannelSMS>("TChannelSMS");
    auto channel =
        cls->Create(list_, CT_GSM_SMS, 1, carrierSettings, device ? device : Device(pdu));
    EXPECT_NE(channel, nullptr);
    if (channel) channels_.push_back(channel);
    return channel;
  }

  // Collects finished parts until count came back; fewer when the deadline passed.
  std::vector<TPart> Collect(TNBaseCarrierChannel& channel, size_t count,
                             std::chrono::milliseconds deadline = 60s) {
    return CollectResults(channel, count, deadline);
  }

  // One message through the worker; its result.
  TPart SendOne(const std::string& carrierSettings, bool pdu, const std::string& pager,
                const std::string& text) {
    auto channel = Launch(carrierSettings, pdu);
    if (!channel) return nullptr;
    channel->EnqueueMessage(41, pager, text, 0);
    const auto parts = Collect(*channel, 1);
    return parts.empty() ? nullptr : parts[0];
  }

  size_t CountCommands(const std::string& command) const {
    const auto all = modem_->Commands();
    return static_cast<size_t>(std::count(all.begin(), all.end(), command));
  }

  TNBaseChannelMessage Part(const std::string& pager, const std::string& text) {
    TNBaseChannelMessage part;
    part.PagerID = pager;
    part.MessageText = text;
    return part;
  }

  PtyPair pty_;
  LogCapture log_;
  std::unique_ptr<FakeGsmModem> modem_;
  std::unique_ptr<PtyLine> line_;
  std::shared_ptr<TNChannelsList> list_ = std::make_shared<TNChannelsList>();

private:
  std::vector<int32_t> saved_;
  std::shared_ptr<TDrivenSms> driven_;
  std::vector<std::shared_ptr<TNBaseCarrierChannel>> channels_;
};

// ---- Every mode through the worker ---------------------------------------------------------

struct TModeCase {
  const char* Name;
  bool Pdu;
  bool Unicode;
  const char* Pager;
  std::string Text;          // Windows-1252, as the client sent it
  std::string Shown;         // UTF-8, as the handset shows it
  FakeSms::Coding Coding;
  std::string SubmitCommand;  // the +CMGS line the modem saw
};

// The modem either behaves, or interleaves unsolicited codes with its answers and echoes
// although told not to.
struct TModeRow {
  TModeCase Case;
  bool Noisy;
};

class SmsModeTest : public SmsFixture, public testing::WithParamInterface<TModeRow> {};

TEST_P(SmsModeTest, ModemDecodesTheMessage) {
  const TModeCase& c = GetParam().Case;
  FakeGsmModem::Options options = Quiet();
  if (GetParam().Noisy) {
    options.echoDespiteAte = true;
    options.unsolicited = {"+CMTI: \"SM\",3", "RING", "+CREG: 1"};
  }
  StartModem(options);
  const TPart part = SendOne(SmsSettings("+4412", "", c.Unicode), c.Pdu, c.Pager, c.Text);
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->SendError, MSE_OK);
  EXPECT_TRUE(part->Taken);
  EXPECT_TRUE(modem_->Rejected().empty()) << modem_->Rejected()[0];
  const auto messages = modem_->Messages();
  ASSERT_EQ(messages.size(), 1u);
  const FakeSms& sms = messages[0];
  EXPECT_EQ(sms.mode, c.Pdu ? FakeSms::Mode::Pdu : FakeSms::Mode::Text);
  EXPECT_EQ(sms.destination, c.Pager);
  EXPECT_EQ(sms.typeOfAddress, c.Pager[0] == '+' ? 145 : 129);
  EXPECT_EQ(sms.coding, c.Coding);
  EXPECT_EQ(sms.text, c.Shown);
  EXPECT_EQ(sms.serviceCentre, "+4412");
  if (c.Pdu) {
    EXPECT_EQ(sms.firstOctet, 0x11);
    EXPECT_EQ(sms.validityPeriod, 0xA7);
    EXPECT_EQ(sms.protocolId, 0);
  }
  EXPECT_EQ(CountCommands(c.SubmitCommand), 1u);
  EXPECT_EQ(modem_->ServiceCentre(), "+4412");
}

const TModeCase kModes[] = {
    {"Text7Bit", false, false, "+123", "Meet @ 5, $10", "Meet @ 5, $10", FakeSms::Coding::SevenBit,
     "AT+CMGS= \"+123\",145"},
    {"Text7BitNational", false, false, "5551234", "Hi there", "Hi there",
     FakeSms::Coding::SevenBit, "AT+CMGS= \"5551234\",129"},
    {"TextUcs2", false, true, "+123", "Gr\xFC\xDF" "e \x80" "5", "Gr\u00FC\u00DFe \u20AC5",
     FakeSms::Coding::Ucs2, "AT+CMGS= \"002B003100320033\",145"},
    {"Pdu7Bit", true, false, "+123", "Test", "Test", FakeSms::Coding::SevenBit, "AT+CMGS= 14"},
    {"Pdu7BitNationalEven", true, false, "5551", "hellohello", "hellohello",
     FakeSms::Coding::SevenBit, "AT+CMGS= 19"},
    {"PduUcs2", true, true, "5551234", "Hi \x80", "Hi \u20AC", FakeSms::Coding::Ucs2,
     "AT+CMGS= 20"},
};

std::vector<TModeRow> ModeRows() {
  std::vector<TModeRow> rows;
  for (bool noisy : {false, true})
    for (const TModeCase& c : kModes) rows.push_back({c, noisy});
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Modes, SmsModeTest, testing::ValuesIn(ModeRows()),
                         [](const testing::TestParamInfo<TModeRow>& info) {
                           return std::string(info.param.Case.Name) +
                                  (info.param.Noisy ? "NoisyModem" : "");
                         });

// ---- Characters a 7-bit message cannot carry ---------------------------------------------------

struct TCharacterCase {
  const char* Name;
  bool Pdu;
  bool Unicode;
  std::string Shown;
};

class SmsCharacterTest : public SmsFixture, public testing::WithParamInterface<TCharacterCase> {};

// e-acute, Ctrl-Z, "ATH", ESC, the euro sign: text mode gives '?' for every byte it cannot hand
// over, so neither Ctrl-Z nor ESC ends the text and nothing of it is read as a command; a 7-bit
// PDU carries bytes below 0x80 as GSM codes (Ctrl-Z shows as Xi, ESC starts an escape) and '?'
// for the rest; UCS2 carries everything.
TEST_P(SmsCharacterTest, NeverBreakTheDialogue) {
  const TCharacterCase& c = GetParam();
  StartModem();
  const TPart part = SendOne(SmsSettings("", "", c.Unicode), c.Pdu, "+123",
                             "caf\xE9 \x1A" "ATH \x1B x\x80");
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->SendError, MSE_OK);
  ASSERT_EQ(modem_->Messages().size(), 1u);
  EXPECT_EQ(modem_->Messages()[0].text, c.Shown);
  EXPECT_EQ(modem_->Submissions().size(), 1u);
  EXPECT_EQ(modem_->Cancels(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SmsCharacterTest,
    testing::Values(TCharacterCase{"Text7Bit", false, false, "caf? ?ATH ? x?"},
                    TCharacterCase{"Pdu7Bit", true, false, "caf? \u039EATH  x?"},
                    TCharacterCase{"TextUcs2", false, true, "caf\u00E9 \x1A" "ATH \x1B x\u20AC"},
                    TCharacterCase{"PduUcs2", true, true, "caf\u00E9 \x1A" "ATH \x1B x\u20AC"}),
    [](const testing::TestParamInfo<TCharacterCase>& info) {
      return std::string(info.param.Name);
    });

// ---- Connect -----------------------------------------------------------------------------------

struct TConnectCase {
  const char* Name;
  std::string SimPin;    // the fake's SIM; empty: not locked
  std::string Settings;
  TChannelConnectResult Result;
  std::vector<std::string> Commands;
  std::vector<std::string> PinsEntered;
};

class SmsConnectTest : public SmsFixture, public testing::WithParamInterface<TConnectCase> {};

TEST_P(SmsConnectTest, SetsPinAndServiceCentre) {
  const TConnectCase& c = GetParam();
  FakeGsmModem::Options options = Quiet();
  options.simPin = c.SimPin;
  StartModem(options);
  auto& channel = Drive(c.Settings);
  EXPECT_EQ(channel.Connect(), c.Result);
  EXPECT_EQ(modem_->Commands(), c.Commands);
  EXPECT_EQ(modem_->PinsEntered(), c.PinsEntered);
}

const std::string kIra = "AT+CSCS=\"IRA\"";

INSTANTIATE_TEST_SUITE_P(
    Cases, SmsConnectTest,
    testing::Values(
        TConnectCase{"NothingToSet", "", SmsSettings(), crConnected, {}, {}},
        TConnectCase{"InternationalCentre", "", SmsSettings("+4412"), crConnected,
                     {kIra, "AT+CSCA=\"+4412\",145"}, {}},
        TConnectCase{"NationalCentre", "", SmsSettings("4412"), crConnected,
                     {kIra, "AT+CSCA=\"4412\",129"}, {}},
        TConnectCase{"PinForALockedSim", "1234", SmsSettings("", "1234"), crConnected,
                     {kIra, "AT+CPIN?", "AT+CPIN=\"1234\""}, {"1234"}},
        // A ready SIM would refuse the PIN; it is not entered again.
        TConnectCase{"PinForAReadySim", "", SmsSettings("", "1234"), crConnected,
                     {kIra, "AT+CPIN?"}, {}},
        TConnectCase{"WrongPin", "1234", SmsSettings("", "9999"), crLogonError,
                     {kIra, "AT+CPIN?", "AT+CPIN=\"9999\""}, {"9999"}},
        // A locked SIM refuses the service centre: the PIN goes first.
        TConnectCase{"LockedSimWithCentre", "1234", SmsSettings("+4412", "1234"), crConnected,
                     {kIra, "AT+CPIN?", "AT+CPIN=\"1234\"", "AT+CSCA=\"+4412\",145"}, {"1234"}},
        // The centre is still set when the PIN was refused; the result stays a logon error.
        TConnectCase{"WrongPinWithCentre", "1234", SmsSettings("+4412", "9999"), crLogonError,
                     {kIra, "AT+CPIN?", "AT+CPIN=\"9999\"", "AT+CSCA=\"+4412\",145"},
                     {"9999"}}),
    [](const testing::TestParamInfo<TConnectCase>& info) { return std::string(info.param.Name); });

TEST_F(SmsFixture, CentreIsSetAfterAUcs2MessageLeftTheModemInUcs2) {
  StartModem();
  auto& unicode = Drive(SmsSettings("+4412", "", true));
  ASSERT_EQ(unicode.Connect(), crConnected);
  TNBaseChannelMessage first = Part("+123", "Hi");
  ASSERT_EQ(unicode.SendMessage(first), srSent);
  // The next connection, of the same carrier or of another one on this modem.
  auto& plain = Drive(SmsSettings("+4499"));
  EXPECT_EQ(plain.Connect(), crConnected);
  EXPECT_EQ(modem_->ServiceCentre(), "+4499");
  TNBaseChannelMessage part = Part("+123", "Meet @ 5");
  EXPECT_EQ(plain.SendMessage(part), srSent);
  ASSERT_EQ(modem_->Messages().size(), 2u);
  EXPECT_EQ(modem_->Messages()[1].coding, FakeSms::Coding::SevenBit);
  EXPECT_EQ(modem_->Messages()[1].text, "Meet @ 5");
}

// ---- InitDevice and Disconnect -----------------------------------------------------------------

TEST_F(SmsFixture, InitDeviceChecksTheModemTurnsEchoOffAndAsksForNumericErrors) {
  StartModem();
  auto& channel = Drive(SmsSettings());
  EXPECT_TRUE(channel.InitDevice());
  EXPECT_EQ(modem_->Commands(), (std::vector<std::string>{"AT", "ATE", "AT+CMEE=1"}));
}

TEST_F(SmsFixture, SilentModemIsNotReadyAndShowsNoError) {
  StartModem().SetSwitchedOff(true);
  auto& channel = Drive(SmsSettings());
  channel.Device()->SetActivity("before");
  EXPECT_FALSE(channel.InitDevice());
  EXPECT_EQ(channel.Device()->Activity(), "before");
}

TEST_F(SmsFixture, ModemRefusingEchoOffIsNotReady) {
  StartModem().RefuseCommandsContaining("ATE");
  auto& channel = Drive(SmsSettings());
  EXPECT_FALSE(channel.InitDevice());
  EXPECT_EQ(channel.Device()->Activity(), "TChannelSMS - Error Initializing the Device");
}

TEST_F(SmsFixture, DisconnectEscapesHangsUpAndHearsOk) {
  StartModem();
  auto& channel = Drive(SmsSettings());
  ASSERT_TRUE(channel.InitDevice());
  EXPECT_TRUE(channel.Disconnect());
  EXPECT_EQ(modem_->Commands().back(), "ATH");
  EXPECT_EQ(channel.Device()->Activity(), "TChannelSMS - Hanged Up");
}

// ---- Failures ----------------------------------------------------------------------------------

TEST_F(SmsFixture, NetworkRefusalIsRetriedThenRetriesExceeded) {
  StartModem().SetDefaultSendAnswer({TKind::CmsError, 38, 0ms});
  const TPart part = SendOne(SmsSettings(), true, "+123", "Test");
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->SendError, MSE_RETRIES_EXCEEDED);
  EXPECT_EQ(part->RetryTimes, 4);
  EXPECT_EQ(modem_->Submissions().size(), 4u);
  // Retried on the same connection: the modem was initialised once.
  EXPECT_EQ(CountCommands("AT+CMEE=1"), 1u);
}

TEST_F(SmsFixture, RefusedPinIsALogonError) {
  FakeGsmModem::Options options = Quiet();
  options.simPin = "1234";
  StartModem(options);
  const TPart part = SendOne(SmsSettings("", "4321"), false, "+123", "Hi");
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->SendError, MSE_LOGON_ERROR);
  EXPECT_TRUE(modem_->Submissions().empty());
}

TEST_F(SmsFixture, SilentModemIsNoDevice) {
  StartModem().SetSwitchedOff(true);
  const TPart part = SendOne(SmsSettings(), false, "+123", "Hi");
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part->SendError, MSE_NO_DEVICE);
}

TEST_F(SmsFixture, MissingPromptCancelsTheTextEntryAndItsAnswerIsNotLeftBehind) {
  FakeGsmModem& modem = StartModem();
  modem.SetPromptWithheld(true);
  auto& channel = Drive(SmsSettings());
  TNBaseChannelMessage part = Part("+123", "Hi");
  EXPECT_EQ(channel.SendMessage(part), srNoAnswer);
  EXPECT_EQ(modem.Cancels(), 1);
  // The modem is back in command mode, and its OK to the ESC was taken with the ESC: a stale
  // OK would answer AT+CMGF, the CMGF's OK the refused AT+CSMP, and AT+CSCS would follow.
  modem.RefuseCommandsContaining("AT+CSMP");
  EXPECT_EQ(channel.SendMessage(part), srNoAnswer);
  EXPECT_EQ(CountCommands("AT+CMGF=1"), 2u);
  EXPECT_EQ(CountCommands("AT+CSCS=\"IRA\""), 1u);
  EXPECT_TRUE(modem.Submissions().empty());
}

struct TAnswerCase {
  const char* Name;
  bool Pdu;
  bool Unicode;
  FakeSmsAnswer Answer;
  TChannelSendResult Result;
};

class SmsAnswerTest : public SmsFixture, public testing::WithParamInterface<TAnswerCase> {};

TEST_P(SmsAnswerTest, IsClassified) {
  const TAnswerCase& c = GetParam();
  StartModem().QueueSendAnswer(c.Answer);
  auto& channel = Drive(SmsSettings("", "", c.Unicode), c.Pdu);
  TNBaseChannelMessage part = Part("+123", "Hi");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(channel.SendMessage(part), c.Result);
  // A plain ERROR ends the wait at once rather than after 22 response times.
  if (c.Answer.kind == TKind::PlainError) {
    EXPECT_LT(std::chrono::steady_clock::now() - start, 11s);
  }
  EXPECT_EQ(modem_->Submissions().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SmsAnswerTest,
    testing::Values(
        TAnswerCase{"OkText", false, false, {TKind::Ok, 0, 0ms}, srSent},
        TAnswerCase{"CmsErrorPdu", true, false, {TKind::CmsError, 500, 0ms}, srRetry},
        TAnswerCase{"CmsErrorUcs2Text", false, true, {TKind::CmsError, 21, 0ms}, srRetry},
        TAnswerCase{"PlainErrorPdu", true, false, {TKind::PlainError, 0, 0ms}, srNoAnswer},
        // The network confirms after 1.5 response times: still within the wait in every mode,
        // UCS2 text included.
        TAnswerCase{"SlowNetworkUcs2Text", false, true, {TKind::Ok, 0, 1500ms}, srSent},
        TAnswerCase{"SlowNetworkPdu", true, true, {TKind::Ok, 0, 1500ms}, srSent}),
    [](const testing::TestParamInfo<TAnswerCase>& info) { return std::string(info.param.Name); });

TEST_F(SmsFixture, RefusedModeCommandIsNoAnswer) {
  StartModem().RefuseCommandsContaining("AT+CSMP");
  auto& channel = Drive(SmsSettings());
  TNBaseChannelMessage part = Part("+123", "Hi");
  EXPECT_EQ(channel.SendMessage(part), srNoAnswer);
  EXPECT_TRUE(modem_->Submissions().empty());
  EXPECT_EQ(CountCommands("AT+CMGS= \"+123\",145"), 0u);
}

struct TPagerCase {
  const char* Name;
  std::string Pager;
};

class SmsPagerIdTest : public SmsFixture, public testing::WithParamInterface<TPagerCase> {};

TEST_P(SmsPagerIdTest, ThatIsNoNumberIsAbandonedWithoutAnyCommand) {
  StartModem();
  auto& channel = Drive(SmsSettings());
  TNBaseChannelMessage part = Part(GetParam().Pager, "Hi");
  EXPECT_EQ(channel.SendMessage(part), srAbandon);
  EXPECT_TRUE(modem_->Commands().empty());
  EXPECT_TRUE(log_.HasPart("ChannelSMS, message abandoned: the pager ID"));
}

INSTANTIATE_TEST_SUITE_P(
    Pagers, SmsPagerIdTest,
    testing::Values(TPagerCase{"Empty", ""}, TPagerCase{"Letters", "12a"},
                    TPagerCase{"InnerBlank", "0770 0900"},
                    TPagerCase{"QuoteAndCommand", "1\"\r\nAT+CPWD=\"SC\""},
                    TPagerCase{"TooLong", "+123456789012345678901"}),
    [](const testing::TestParamInfo<TPagerCase>& info) { return std::string(info.param.Name); });

TEST_F(SmsFixture, PagerIdWithBlanksAroundIsSent) {
  StartModem();
  auto& channel = Drive(SmsSettings(), true);
  TNBaseChannelMessage part = Part(" +123 ", "Hi");
  EXPECT_EQ(channel.SendMessage(part), srSent);
  ASSERT_EQ(modem_->Messages().size(), 1u);
  EXPECT_EQ(modem_->Messages()[0].destination, "+123");
  EXPECT_EQ(part.PagerID, " +123 ");
}

TEST_F(SmsFixture, InvalidCarrierSettingsAbandonEveryMessageWithoutTouchingTheSim) {
  FakeGsmModem::Options options = Quiet();
  options.simPin = "1234";
  StartModem(options);
  // "yes" is no boolean; the PIN before it would have been read.
  auto channel = Launch("+4412,1234,160,9600,\"8,N,1\",yes", false);
  ASSERT_NE(channel, nullptr);
  channel->EnqueueMessage(1, "+123", "", 0);
  channel->EnqueueMessage(2, "+123", "Hi", 0);
  const auto parts = Collect(*channel, 2);
  ASSERT_EQ(parts.size(), 2u);
  for (const auto& part : parts) EXPECT_EQ(part->SendError, MSE_ABANDONED) << part->ID;
  EXPECT_TRUE(modem_->PinsEntered().empty());
  EXPECT_TRUE(modem_->Submissions().empty());
  EXPECT_TRUE(log_.HasPart("ChannelSMS, invalid carrier settings"));
}

TEST_F(SmsFixture, PartLengthIsLoweredToWhatOneMessageHolds) {
  StartModem();
  EXPECT_EQ(Drive(SmsSettings("", "", false, 200)).GetMaxMessageLength(), 160);
  EXPECT_TRUE(log_.Has("ChannelSMS, message length 200 lowered to 160, the most one short "
                       "message holds"));
  EXPECT_EQ(Drive(SmsSettings("", "", true, 160)).GetMaxMessageLength(), 70);
  EXPECT_EQ(Drive(SmsSettings("", "", true, 50)).GetMaxMessageLength(), 50);
}

TEST_F(SmsFixture, LongUcs2TextGoesAsSeveralMessagesThatAllArrive) {
  StartModem();
  const std::string text(100, '\xE9');
  auto channel = Launch(SmsSettings("", "", true, 160), true);
  ASSERT_NE(channel, nullptr);
  channel->EnqueueMessage(7, "+123", text, 0);
  const auto parts = Collect(*channel, 2);
  ASSERT_EQ(parts.size(), 2u);
  for (const auto& part : parts) EXPECT_EQ(part->SendError, MSE_OK);
  const auto messages = modem_->Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].text.rfind("(Msg1 of 2)", 0), 0u);
  EXPECT_EQ(messages[1].text.rfind("(Msg2 of 2)", 0), 0u);
}

// ---- Connections -------------------------------------------------------------------------------

TEST_F(SmsFixture, MessagesPerConnectionAndModeCommandsForEveryMessage) {
  settings::MaxMessagesPerConnectionSMS = 2;
  StartModem();
  auto device = Device(false);
  ASSERT_TRUE(device->FreeEvent.TryTake());  // every message is queued before the worker looks
  auto channel = Launch(SmsSettings("+4412"), false, device);
  ASSERT_NE(channel, nullptr);
  EXPECT_EQ(channel->GetMaxMessagesPerConnection(), 2);
  for (int i = 0; i < 5; ++i) channel->EnqueueMessage(i, "+123", "n" + std::to_string(i), 0);
  device->FreeEvent.Set();
  const auto parts = Collect(*channel, 5);
  ASSERT_EQ(parts.size(), 5u);
  for (const auto& part : parts) EXPECT_EQ(part->SendError, MSE_OK);
  ASSERT_EQ(modem_->Messages().size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(modem_->Messages()[i].text, "n" + std::to_string(i));
  EXPECT_EQ(CountCommands("AT+CSCA=\"+4412\",145"), 3u);  // one per connection
  EXPECT_EQ(CountCommands("AT+CMGF=1"), 5u);              // one per message
  EXPECT_TRUE(WaitUntil([&] { return CountCommands("ATH") == 3u; }));
}

// ---- Stopping ----------------------------------------------------------------------------------

TEST_F(SmsFixture, StopWhileTheNetworkIsAwaitedEndsTheSendAtOnce) {
  settings::ModemResponseTimeout = 2000;  // 44 s for the final answer
  StartModem().SetDefaultSendAnswer({TKind::Silent, 0, 0ms});
  auto& channel = Drive(SmsSettings(), true);
  TNBaseChannelMessage part = Part("+123", "Test");
  auto sent = std::async(std::launch::async, [&] { return channel.SendMessage(part); });
  ASSERT_TRUE(WaitUntil([&] { return modem_->Submissions().size() == 1; }));
  channel.Close();
  ASSERT_EQ(sent.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(sent.get(), srNoAnswer);
}

TEST_F(SmsFixture, StopWhileTheNetworkIsAwaitedEndsTheChannelAndHandsThePartBack) {
  settings::ModemResponseTimeout = 300;  // the port's settling pause on close
  StartModem().SetDefaultSendAnswer({TKind::Silent, 0, 0ms});
  auto channel = Launch(SmsSettings(), false);
  ASSERT_NE(channel, nullptr);
  channel->EnqueueMessage(9, "+123", "Hi", 0);
  ASSERT_TRUE(WaitUntil([&] { return modem_->Submissions().size() == 1; }));
  const auto start = std::chrono::steady_clock::now();
  channel->Close();
  const auto parts = Collect(*channel, 1, 2s);
  EXPECT_TRUE(WaitUntil([&] { return TNThreadRegistry::Instance().Running() == 0; }, 2s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  ASSERT_EQ(parts.size(), 1u);
  // Handed back untried, to be sent later.
  EXPECT_FALSE(parts[0]->Taken);
  EXPECT_EQ(parts[0]->SendError, MSE_OK);
}

// ---- Registration ------------------------------------------------------------------------------

TEST(RegisterSms, TheSmsClassServesGsmSms) {
  RegisterCarrierChannels();
  const auto cls = FindChannelClass(CT_GSM_SMS);
  ASSERT_NE(cls, nullptr);
  EXPECT_EQ(cls->ClassName(), "TChannelSMS");
  const int32_t saved = settings::InputBufferLimitSMS;
  settings::InputBufferLimitSMS = 200;
  EXPECT_EQ(cls->GetBufferLimits().Input, 200);
  EXPECT_EQ(cls->GetBufferLimits().Output, settings::OutputBufferLimit.load());
  settings::InputBufferLimitSMS = saved;
}

} // namespace
} // namespace voxmit::test
