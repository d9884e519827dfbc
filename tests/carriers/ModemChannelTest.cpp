// The serial port and modem bases: the write-then-expect routines against a far end on a pty,
// and modem init, dialling and the port's life against the fake modem.

#include <gtest/gtest.h>

#include <future>

#include "carriers/TapFixture.h"

namespace voxmit::test {
namespace {

using namespace std::string_literals;

int CountLines(LogCapture& log, const std::string& line) {
  const auto& lines = log.Lines();
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

// ---- Dial text ----------------------------------------------------------------------------------

struct TDialTextCase {
  const char* Name;
  const char* Prefix;
  bool Wait;
  const char* Expected;
};

class DialTextTest : public testing::TestWithParam<TDialTextCase> {};

TEST_P(DialTextTest, Builds) {
  const TDialTextCase& c = GetParam();
  EXPECT_EQ(BuildDialText(c.Prefix, c.Wait, "5551234"), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DialTextTest,
    testing::Values(TDialTextCase{"PrefixAndWait", "9", true, "ATDT9W5551234\r"},
                    TDialTextCase{"PrefixNoWait", "9", false, "ATDT95551234\r"},
                    TDialTextCase{"PrefixTrimmed", " 9 ", true, "ATDT9W5551234\r"},
                    TDialTextCase{"NoPrefix", "", false, "ATDT5551234\r"}),
    [](const testing::TestParamInfo<TDialTextCase>& info) { return std::string(info.param.Name); });

// ---- The expect routines against a far end the test writes itself ------------------------------

class ExpectTest : public TapFixture {
protected:
  TDriven<TChannelTap>& OpenChannel() {
    auto& channel = Drive<TChannelTap>("TChannelTap", ModemDevice());
    EXPECT_TRUE(channel.InitPort());
    return channel;
  }
};

TEST_F(ExpectTest, AnswerSplitOverSeveralReadsIsMatched) {
  auto& channel = OpenChannel();
  auto result = std::async(std::launch::async,
                           [&] { return channel.SendModemString("AT\r", "OK\r", 10000, '\r'); });
  EXPECT_NE(pty_.ReadMasterUntil("AT\r", 5s).find("AT\r"), std::string::npos);
  pty_.WriteMaster("O");
  ASSERT_TRUE(WaitUntil([&] {
    return log_.Has("TBaseChannelModem.SendModemString, Received String: O");
  }));
  pty_.WriteMaster("K\r\n");
  EXPECT_EQ(result.get(), seOK);
  EXPECT_TRUE(log_.Has("TBaseChannelModem.SendModemString,write to comport succeeded: AT<CR>"));
  EXPECT_TRUE(log_.Has("TBaseChannelComPort.ReadFromComPort, Read String: K<CR><LF>"));
}

struct TAnswerCase {
  const char* Name;
  std::string Arrives;
  TSendModemResult Result;
  int32_t Index;
};

class ExpectListTest : public ExpectTest, public testing::WithParamInterface<TAnswerCase> {};

TEST_P(ExpectListTest, FindsTheFirstListEntryAnywhere) {
  const TAnswerCase& c = GetParam();
  auto& channel = OpenChannel();
  int32_t index = 99;
  auto result = std::async(std::launch::async, [&] {
    return channel.SendModemStringEx("\r", tap::PromptAnswers(), 3000, '\r', index);
  });
  pty_.ReadMasterUntil("\r", 5s);
  if (!c.Arrives.empty()) pty_.WriteMaster(c.Arrives);
  EXPECT_EQ(result.get(), c.Result);
  EXPECT_EQ(index, c.Index);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ExpectListTest,
    testing::Values(TAnswerCase{"Prompt", "ID=", seOK, 0},
                    TAnswerCase{"NoCarrierIsIndexOne", "\r\nNO CARRIER\r\n", seOK, 1},
                    TAnswerCase{"BannerAndEchoBefore", "\r\nWELCOME 1.8\r\n\rID=", seOK, 0},
                    TAnswerCase{"BothArrivedListOrderWins", "NO CARRIER\r\nID=", seOK, 0},
                    TAnswerCase{"HalfAnswer", "I", seExpectTimeout, -1},
                    TAnswerCase{"Silence", "", seExpectTimeout, -1}),
    [](const testing::TestParamInfo<TAnswerCase>& info) { return std::string(info.param.Name); });

TEST_F(ExpectTest, SilenceEndsAtTheDeadlineWithItsLine) {
  auto& channel = OpenChannel();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(channel.WaitForModemString("OK\r", '\r', 300), seExpectTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
  EXPECT_TRUE(log_.Has("TBaseChannelModem.SendModemString, WAIT_TIMEOUT"));

  int32_t index = 5;
  EXPECT_EQ(channel.SendModemStringEx("", tap::BlockAnswers(), 200, '\r', index), seExpectTimeout);
  EXPECT_EQ(index, -1);
  EXPECT_TRUE(log_.Has("TBaseChannelModem.SendModemStringex, WAIT_TIMEOUT"));
}

TEST_F(ExpectTest, EmptyListReturnsAfterTheWriteLeavingTheIndex) {
  auto& channel = OpenChannel();
  int32_t index = 42;
  EXPECT_EQ(channel.SendModemStringEx("ATH\r", {}, 5000, '\r', index), seOK);
  EXPECT_EQ(index, 42);
  EXPECT_NE(pty_.ReadMasterUntil("ATH\r", 5s).find("ATH\r"), std::string::npos);
}

// Line noise keeps every read busy; an answer that comes only after the deadline still counts
// as too late, and the noise must not hold the routine past its deadline.
TEST_F(ExpectTest, AnswerAfterTheDeadlineUnderNoiseIsExpectTimeout) {
  // Noise from the moment the command is heard; 600 ms later the noise turns into the answer.
  class LateAnswer : public FakeLinePeer {
  public:
    void OnReceive(std::string_view, FakeLine&) override {
      if (heard_ == TClock::time_point{}) heard_ = TClock::now();
    }
    void OnTick(FakeLine& line) override {
      if (heard_ == TClock::time_point{}) return;
      line.Send(TClock::now() - heard_ < 600ms ? "~#" : "OK\r\n");
    }

  private:
    using TClock = std::chrono::steady_clock;
    TClock::time_point heard_{};  // line thread only
  };
  StartLine(Own<LateAnswer>());
  auto& channel = OpenChannel();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(channel.SendModemString("AT\r", "OK\r", 300, '\r'), seExpectTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  // The answer does come, later: a fresh wait finds it.
  EXPECT_EQ(channel.WaitForModemString("OK\r", '\r', 5000), seOK);
}

TEST_F(ExpectTest, FarEndClosingEndsTheWaitAndLaterWritesFail) {
  auto& channel = OpenChannel();
  int32_t index = 0;
  const auto start = std::chrono::steady_clock::now();
  auto result = std::async(std::launch::async, [&] {
    return channel.SendModemStringEx("\r", tap::PromptAnswers(), 20000, '\r', index);
  });
  pty_.ReadMasterUntil("\r", 5s);
  pty_.CloseMaster();
  EXPECT_EQ(result.get(), seReadPortTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
  EXPECT_EQ(channel.SendModemString("AT\r", "OK\r", 20000, '\r'), seWritePortTimeout);
  EXPECT_TRUE(log_.Has("TBaseChannelModem.SendModemString, seWritePortTimeout "));
}

// ---- The port ---------------------------------------------------------------------------------

TEST_F(ExpectTest, PortOpensClosesAndShowsItsState) {
  auto device = ModemDevice();
  auto& channel = Drive<TChannelTap>("TChannelTap", device);
  ASSERT_TRUE(channel.InitPort());
  EXPECT_EQ(device->Activity(), "TChannelTap - Port Initialized OK");
  EXPECT_TRUE(channel.ResetPort());
  EXPECT_EQ(device->Activity(), "TChannelTap - Not Used (Port Freed)");
  // Freed: another opener gets it.
  TNSerialPort other;
  EXPECT_TRUE(other.Open(pty_.SlavePath(), {}));
}

TEST_F(ExpectTest, PortThatCannotBeConfiguredOrFoundFails) {
  // Four carrier fields: nothing is read, the data bits stay 0 and the port refuses them.
  auto device = ModemDevice();
  auto& channel = Drive<TChannelTap>("TChannelTap", device, "555,pw,80,9600");
  EXPECT_EQ(channel.MaxLength(), 0);
  EXPECT_FALSE(channel.InitPort());
  EXPECT_EQ(device->Activity(), "TChannelTap - Error Initializing the Port");

  auto missing = std::make_shared<TNDevice>(
      TNDeviceRow{.ID = 3,
                  .TypeName = "MODEM",
                  .SettingsData = "/dev/voxmit-no-such-port,ATZ,,false,1,1",
                  .DeviceKind = DK_MODEM,
                  .Name = "Missing"});
  auto& other = Drive<TChannelTap>("TChannelTap", missing);
  EXPECT_FALSE(other.InitPort());
}

TEST_F(ExpectTest, PortHeldByAnotherChannelIsRefused) {
  auto& first = Drive<TChannelTap>("TChannelTap", ModemDevice());
  ASSERT_TRUE(first.InitPort());
  TNChannelArgs args;
  args.ClassName = "TChannelTap";
  args.CarrierSettings = TapSettings();
  args.Device = ModemDevice();
  TDriven<TChannelTap> second(args);
  second.ParseDeviceSettings();
  second.ParseCarrierSettings();
  EXPECT_FALSE(second.InitPort());
}

// ---- Modem device settings ----------------------------------------------------------------------

struct TDeviceCase {
  const char* Name;
  const char* Settings;
  bool Wait;
  int32_t Attempts;
  int32_t Delay;
};

class ModemSettingsTest : public TapFixture, public testing::WithParamInterface<TDeviceCase> {};

TEST_P(ModemSettingsTest, Reads) {
  const TDeviceCase& c = GetParam();
  auto& channel = Drive<TChannelTap>(
      "TChannelTap", std::make_shared<TNDevice>(TNDeviceRow{.ID = 1,
                                                            .TypeName = "MODEM",
                                                            .SettingsData = c.Settings,
                                                            .DeviceKind = DK_MODEM,
                                                            .Name = "M"}));
  EXPECT_EQ(channel.PortName, "COM2");
  EXPECT_EQ(channel.WaitForDialTone, c.Wait);
  EXPECT_EQ(channel.RedialAttempts, c.Attempts);
  EXPECT_EQ(channel.RedialDelay, c.Delay);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ModemSettingsTest,
    testing::Values(TDeviceCase{"Example", "COM2,ATQ0V1M1E0X4,9,true,3,1", true, 3, 1000},
                    TDeviceCase{"UpperCaseTrue", "COM2,ATZ,9,TRUE,5,2", true, 5, 2000},
                    TDeviceCase{"OtherWordIsFalse", "COM2,ATZ,9,yes,5,2", false, 5, 2000},
                    TDeviceCase{"NotNumbersFallBack", "COM2,ATZ,,false,x,y", false, 3, 1000}),
    [](const testing::TestParamInfo<TDeviceCase>& info) { return std::string(info.param.Name); });

// ---- Modem init and dialling against the fake modem ---------------------------------------------

class ModemTest : public TapFixture {
protected:
  TDriven<TChannelTap>& Connected(const std::string& deviceExtra = ",ATQ0V1M1E0X4,,false,1,1") {
    device_ = ModemDevice(deviceExtra);
    auto& channel = Drive<TChannelTap>("TChannelTap", device_);
    EXPECT_TRUE(channel.InitPort());
    return channel;
  }
  std::shared_ptr<TNDevice> device_;
};

TEST_F(ModemTest, InitResetsThenSendsTheInitStringWithVerboseAndDtr) {
  StartModemLine(&Terminal());
  auto& channel = Connected();
  EXPECT_TRUE(channel.InitDevice());
  EXPECT_EQ(modem_->Commands(), (std::vector<std::string>{"AT&F", "ATQ0V1M1E0X4V1&D2"}));
}

TEST_F(ModemTest, ModemThatDoesNotAnswerIsNotReady) {
  StartModemLine(&Terminal());
  modem_->SetSwitchedOff(true);
  auto& channel = Connected();
  EXPECT_FALSE(channel.InitDevice());
  EXPECT_EQ(device_->Activity(), "TChannelTap - Error Initializing the Device");
}

TEST_F(ModemTest, RefusedInitStringIsNotReady) {
  StartModemLine(&Terminal());
  modem_->RefuseCommandsContaining("X4");
  auto& channel = Connected();
  EXPECT_FALSE(channel.InitDevice());
  EXPECT_EQ(device_->Activity(), "TChannelTap - Error Initializing the Device");
}

TEST_F(ModemTest, BusyLineIsDialledEveryAttemptEachAfterAHangUp) {
  StartModemLine(&Terminal());
  modem_->SetDefaultDialAnswer({"BUSY"});
  auto& channel = Connected(",ATQ0V1M1E0X4,,false,3,1");
  ASSERT_TRUE(channel.InitDevice());
  EXPECT_EQ(channel.Dial(), dsBusy);
  EXPECT_EQ(modem_->DialedNumbers().size(), 3u);
  EXPECT_EQ(CountLines(log_, "ChannelThread (TChannelTap)(Modem1) - Hanging Up"), 3);
  EXPECT_EQ(CountLines(log_, "ChannelThread (TChannelTap)(Modem1) - Dialing Up"), 3);
  EXPECT_EQ(device_->Activity(), "TChannelTap - Error: DialUp - Busy Signal (Phone: 5551234)");
}

TEST_F(ModemTest, DialStopsAtTheFirstConnect) {
  StartModemLine(&Terminal());
  modem_->QueueDialAnswer({"NO ANSWER"});
  auto& channel = Connected(",ATQ0V1M1E0X4,,false,3,1");
  ASSERT_TRUE(channel.InitDevice());
  EXPECT_EQ(channel.Dial(), dsConnected);
  EXPECT_EQ(modem_->DialedNumbers().size(), 2u);
  EXPECT_EQ(device_->Activity(), "TChannelTap - DialUp Successful (Phone: 5551234)");
}

struct TDialNumberCase {
  const char* Name;
  const char* Device;
  const char* Dialled;
};

class DialNumberTest : public ModemTest, public testing::WithParamInterface<TDialNumberCase> {};

TEST_P(DialNumberTest, ModemHearsPrefixAndWait) {
  StartModemLine(&Terminal());
  auto& channel = Connected(GetParam().Device);
  ASSERT_TRUE(channel.InitDevice());
  EXPECT_EQ(channel.Dial(), dsConnected);
  EXPECT_EQ(modem_->DialedNumbers(), std::vector<std::string>{GetParam().Dialled});
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, DialNumberTest,
    testing::Values(TDialNumberCase{"WaitForDialTone", ",ATZ,9,true,1,1", "9W5551234"},
                    TDialNumberCase{"NoWait", ",ATZ,9,false,1,1", "95551234"}),
    [](const testing::TestParamInfo<TDialNumberCase>& info) {
      return std::string(info.param.Name);
    });

struct TDialOutcomeCase {
  const char* Name;
  const char* Answer;  // empty: the modem stays silent
  TDialStatus Status;
  const char* Text;
};

class DialOutcomeTest : public ModemTest, public testing::WithParamInterface<TDialOutcomeCase> {};

TEST_P(DialOutcomeTest, MapsTheModemAnswer) {
  const TDialOutcomeCase& c = GetParam();
  settings::ModemConnectTimeout = 1000;
  StartModemLine(&Terminal());
  modem_->SetDefaultDialAnswer({c.Answer});
  auto& channel = Connected();
  ASSERT_TRUE(channel.InitDevice());
  EXPECT_EQ(channel.Dial(), c.Status);
  EXPECT_EQ(device_->Activity(), "TChannelTap - "s + c.Text + " (Phone: 5551234)");
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, DialOutcomeTest,
    testing::Values(
        TDialOutcomeCase{"Connect", "CONNECT 1200", dsConnected, "DialUp Successful"},
        TDialOutcomeCase{"Silent", "", dsTimedOut, "Error: DialUp Timed Out"},
        TDialOutcomeCase{"NoDialTone", "NO DIALTONE", dsNoDialTone, "Error: DialUp - No Dial Tone"},
        TDialOutcomeCase{"Busy", "BUSY", dsBusy, "Error: DialUp - Busy Signal"},
        TDialOutcomeCase{"NoAnswer", "NO ANSWER", dsNoAnswer, "Error: DialUp - No Answer"},
        TDialOutcomeCase{"NoCarrier", "NO CARRIER", dsNoCarrier, "Error: DialUp - No Carrier"},
        TDialOutcomeCase{"Error", "ERROR", dsComPortError, "Error: DialUp - Com Port Error"}),
    [](const testing::TestParamInfo<TDialOutcomeCase>& info) {
      return std::string(info.param.Name);
    });

TEST_F(ModemTest, DialOnADeadPortIsAPortError) {
  auto& channel = Connected();
  pty_.CloseMaster();
  EXPECT_EQ(channel.Dial(), dsPortTimedOut);
  EXPECT_EQ(device_->Activity(), "TChannelTap - Error: DialUp Port Timed Out (Phone: 5551234)");
}

} // namespace
} // namespace voxmit::test
