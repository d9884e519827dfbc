// The device pool: loading from a real database file, planning helpers, borrowing through
// FreeEvent, the activity text, and the settings texts of each kind.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <Poco/Data/SQLite/Connector.h>

#include "channels/LogCapture.h"
#include "devices/Devices.h"
#include "store/DbSession.h"
#include "store/schema.h"
#include "support/TempHome.h"

namespace voxmit::test {
namespace {

using Poco::Data::Keywords::bind;
using Poco::Data::Keywords::now;

TEST(DeviceKindTest, EachCarrierTypeMapsToItsKind) {
  const std::vector<std::pair<int32_t, std::optional<TDeviceKind>>> cases = {
      {CT_TAP, DK_MODEM},          {CT_PACNET, DK_MODEM},     {CT_DIRECT_TAP, DK_DIRECT_SERIAL},
      {CT_GSM_SMS, DK_GSM_MODEM},  {CT_SMTP, DK_IP_NETWORK},  {CT_SNPP, DK_IP_NETWORK},
      {CT_WCTP, DK_IP_NETWORK},    {CT_MSG, DK_IP_NETWORK},   {CT_ACU, DK_IP_NETWORK},
      {CT_ACUGK, DK_IP_NETWORK},   {0, std::nullopt},         {11, std::nullopt},
      {-1, std::nullopt},          {256 + CT_TAP, std::nullopt}};
  for (const auto& [type, kind] : cases) EXPECT_EQ(DeviceKindOfCarrierType(type), kind) << type;
}

class DevicePoolTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { Poco::Data::SQLite::Connector::registerConnector(); }

  void SetUp() override {
    CreateDatabase(home_.File(kDatabaseFileName));
    session_ = std::make_unique<Poco::Data::Session>(OpenDbSession(home_.File(kDatabaseFileName)));
  }

  void AddDevice(int typeNo, const std::string& settings, const std::string& name) {
    std::string s = settings, n = name;
    *session_ << "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES (?, ?, ?)", bind(typeNo),
        bind(s), bind(n), now;
  }

  TempHome home_;
  std::unique_ptr<Poco::Data::Session> session_;
  TNDevicesList pool_;
};

TEST_F(DevicePoolTest, LoadsDevicesWithAKindInIdOrderAndSkipsTheOthers) {
  AddDevice(1, "COM2,ATQ0V1M1E0X4,9,true,3,1", "Modem A");
  AddDevice(3, "COM4,3,2,1", "GSM");
  AddDevice(9, "COM5", "Kind without a row");
  AddDevice(1, "COM3,ATQ0V1,,false,3,1", "Modem B");
  AddDevice(4, ",,4", "ACU net");
  *session_ << "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES (2, NULL, NULL)", now;

  pool_.LoadDevices(*session_);

  ASSERT_EQ(pool_.Count(), 5);
  const std::vector<std::string> names = {"Modem A", "GSM", "Modem B", "ACU net", ""};
  for (int32_t i = 0; i < pool_.Count(); ++i) EXPECT_EQ(pool_.Items(i)->Name, names[i]);
  const auto modemA = pool_.Items(0);
  EXPECT_EQ(modemA->ID, 1);
  EXPECT_EQ(modemA->DeviceKind, DK_MODEM);
  EXPECT_EQ(modemA->TypeName, "Modem");
  EXPECT_EQ(modemA->SettingsData, "COM2,ATQ0V1M1E0X4,9,true,3,1");
  EXPECT_EQ(modemA->Activity(), kDeviceNotUsed);
  EXPECT_TRUE(modemA->FreeEvent.IsSet());
  EXPECT_FALSE(modemA->Taken);
  EXPECT_EQ(pool_.Items(4)->SettingsData, "");  // NULL columns read as empty text
  EXPECT_EQ(pool_.FindDevice(3), nullptr);       // the device of kind 9
  EXPECT_EQ(pool_.Items(5), nullptr);

  // A reload replaces the pool instead of adding to it.
  pool_.LoadDevices(*session_);
  EXPECT_EQ(pool_.Count(), 5);
}

TEST_F(DevicePoolTest, CountsAndOffersDevicesPerCarrierType) {
  AddDevice(1, "COM1,ATQ0V1,,false,3,1", "Modem 1");
  AddDevice(3, "COM2,3,2,1", "GSM");
  AddDevice(1, "COM3,ATQ0V1,,false,3,1", "Modem 2");
  pool_.LoadDevices(*session_);

  EXPECT_EQ(pool_.CountDevicesForCarrierType(CT_TAP), 2);
  EXPECT_EQ(pool_.CountDevicesForCarrierType(CT_PACNET), 2);
  EXPECT_EQ(pool_.CountDevicesForCarrierType(CT_GSM_SMS), 1);
  EXPECT_EQ(pool_.CountDevicesForCarrierType(CT_DIRECT_TAP), 0);
  {
    LogCapture log;
    EXPECT_EQ(pool_.CountDevicesForCarrierType(42), 0);
    EXPECT_TRUE(log.Has("There is no DeviceType registered for the CarrierType: \"42\""));
  }

  const auto first = pool_.FirstFreeDevice(DK_MODEM);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->Name, "Modem 1");
  first->Taken = true;
  EXPECT_EQ(pool_.FirstFreeDevice(DK_MODEM)->Name, "Modem 2");
  pool_.FirstFreeDevice(DK_MODEM)->Taken = true;
  EXPECT_EQ(pool_.FirstFreeDevice(DK_MODEM), nullptr);
  EXPECT_EQ(pool_.FirstFreeDevice(DK_IP_NETWORK), nullptr);
  pool_.ClearTaken();
  EXPECT_EQ(pool_.FirstFreeDevice(DK_MODEM)->Name, "Modem 1");
}

TEST(DeviceBorrowTest, OfThreadsRacingForAFreeDeviceExactlyOneTakesIt) {
  TNDevice device({.ID = 1, .TypeName = "Modem", .DeviceKind = DK_MODEM, .Name = "Modem 1"});
  for (int round = 0; round < 200; ++round) {
    std::atomic<int> ready{0};
    std::atomic<int> winners{0};
    auto racer = [&] {
      ++ready;
      while (ready < 2) {
      }
      if (device.FreeEvent.WaitAndTake(5) == wrSignaled) ++winners;
    };
    std::thread a(racer), b(racer);
    a.join();
    b.join();
    ASSERT_EQ(winners, 1) << "round " << round;
    EXPECT_FALSE(device.FreeEvent.IsSet());
    device.FreeEvent.Set();  // the holder gives it back
  }
}

TEST(DeviceBorrowTest, AWaitingBorrowerGetsTheDeviceWhenItIsGivenBack) {
  TNDevice device({.ID = 1, .TypeName = "Modem", .DeviceKind = DK_MODEM, .Name = "Modem 1"});
  ASSERT_TRUE(device.FreeEvent.TryTake());
  std::atomic<bool> got{false};
  std::thread waiter([&] { got = device.FreeEvent.WaitAndTake(10000) == wrSignaled; });
  EXPECT_EQ(device.FreeEvent.Wait(50), wrTimeout);
  device.FreeEvent.Set();
  waiter.join();
  EXPECT_TRUE(got);
  EXPECT_FALSE(device.FreeEvent.IsSet());
}

TEST(DeviceActivityTest, StoresTheTextAndPostsItOnlyWhileTheWindowIsOpen) {
  LogCapture loop;  // drains the main loop
  TNDevice device({.ID = 17, .TypeName = "Modem", .DeviceKind = DK_MODEM, .Name = "Modem 1"});

  SetDeviceActivity(device, "TChannelTap - dialing");
  EXPECT_EQ(device.Activity(), "TChannelTap - dialing");
  EXPECT_TRUE(loop.Posted().empty());

  DeviceActivityWindowOpen = true;
  SetDeviceActivity(device, "TChannelTap - connected");
  DeviceActivityWindowOpen = false;
  ASSERT_EQ(loop.Posted().size(), 1u);
  EXPECT_EQ(loop.Posted()[0].Code, WM_DEVICE_ACTIVITY);
  EXPECT_EQ(loop.Posted()[0].WParam, 17);
  EXPECT_EQ(loop.Posted()[0].Text, "TChannelTap - connected");
}

TEST(DeviceActivityTest, ReadersSeeWholeTextsWhileWritersChangeThem) {
  TNDevice device({.ID = 1, .TypeName = "Modem", .DeviceKind = DK_MODEM, .Name = "Modem 1"});
  const std::string a(200, 'a'), b(300, 'b');
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) device.SetActivity(i % 2 ? a : b);
  });
  for (int i = 0; i < 20000; ++i) {
    const std::string seen = device.Activity();
    ASSERT_TRUE(seen == a || seen == b || seen == kDeviceNotUsed) << seen.size();
  }
  stop = true;
  writer.join();
}

TEST(DeviceSettingsTest, ModemItemsWithDefaultsForWhatIsNotANumber) {
  struct Case {
    const char* name;
    std::string text;
    bool complete;
    bool waitForDialTone;
    int32_t attempts;
    int32_t delayMs;
  };
  const Case cases[] = {
      {"example", "COM2,ATQ0V1M1E0X4,9,true,3,1", true, true, 3, 1000},
      {"upper case true", "COM2,ATQ0V1,9,TRUE,5,2", true, true, 5, 2000},
      {"other word", "COM2,ATQ0V1,9,yes,5,2", true, false, 5, 2000},
      {"not numbers", "COM2,ATQ0V1,,false,many,x", true, false, 3, 1000},
      {"too few items", "COM2,ATQ0V1", false, false, 3, 1000},
      {"unclosed quote", "\"COM2,ATQ0V1", false, false, 3, 1000},
      {"empty", "", false, false, 3, 1000},
      {"huge delay is capped", "COM2,ATQ0V1,9,true,3,3000000", true, true, 3, 2147483647},
      {"negative delay is none", "COM2,ATQ0V1,9,true,3,-5", true, true, 3, 0},
  };
  for (const Case& c : cases) {
    TModemDeviceSettings s;
    EXPECT_EQ(ParseModemDeviceSettings(c.text, s), c.complete) << c.name;
    EXPECT_EQ(s.WaitForDialTone, c.waitForDialTone) << c.name;
    EXPECT_EQ(s.RedialAttempts, c.attempts) << c.name;
    EXPECT_EQ(s.RedialDelayMs, c.delayMs) << c.name;
  }
  TModemDeviceSettings s;
  ASSERT_TRUE(ParseModemDeviceSettings("COM2,\"AT &F\",9,true,3,1", s));
  EXPECT_EQ(s.Port, "COM2");
  EXPECT_EQ(s.InitString, "AT &F");
  EXPECT_EQ(s.DialPrefix, "9");
}

TEST(DeviceSettingsTest, OtherKindsReadTheirItems) {
  TDirectDeviceSettings direct;
  EXPECT_TRUE(ParseDirectDeviceSettings("COM7", direct));
  EXPECT_EQ(direct.Port, "COM7");

  TGsmDeviceSettings gsm;
  EXPECT_TRUE(ParseGsmDeviceSettings("COM4,8,6,1", gsm));
  EXPECT_EQ(gsm.Port, "COM4");
  EXPECT_EQ(gsm.BaudRateIndex, 8);
  EXPECT_EQ(gsm.ModuleIndex, 6);
  EXPECT_EQ(gsm.SmsModeIndex, 1);
  TGsmDeviceSettings unchosen;
  EXPECT_TRUE(ParseGsmDeviceSettings("COM4,-1,-1,-1", unchosen));
  EXPECT_EQ(unchosen.SmsModeIndex, -1);

  TIpDeviceSettings acu;
  EXPECT_TRUE(ParseIpDeviceSettings(",,4", acu));
  EXPECT_EQ(acu.Host, "");
  EXPECT_EQ(acu.Port, "");
  EXPECT_EQ(acu.ProtocolIndex, 4);
  TIpDeviceSettings snpp;
  EXPECT_TRUE(ParseIpDeviceSettings("pager.example.net,444,1", snpp));
  EXPECT_EQ(snpp.Host, "pager.example.net");
  EXPECT_EQ(snpp.Port, "444");
  TIpDeviceSettings broken;
  EXPECT_FALSE(ParseIpDeviceSettings("host", broken));
  EXPECT_EQ(broken.ProtocolIndex, -1);
}

} // namespace
} // namespace voxmit::test
