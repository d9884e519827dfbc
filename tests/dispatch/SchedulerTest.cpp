// The scheduler on a real database file with the scripted channel: passes run one at a time by
// the test (or by the scheduler thread where the thread itself is under test).

#include <gtest/gtest.h>

#include <thread>

#include <set>

#include "dispatch/dmodScheduler.h"
#include "DispatchFixture.h"

namespace voxmit::test {
namespace {

class SchedulerTest : public DispatchTest {
protected:
  void AddDevices(int typeNo, int count) {
    for (int i = 0; i < count; ++i)
      Raw() << "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES (?, 'COM1', ?)",
          bind(typeNo), bind("Kind" + std::to_string(typeNo) + "-" + std::to_string(i)), now;
  }
  std::string Error(TMessageSendError error) { return "ErrorCode = " + std::to_string(error); }

  TNDevicesList pool_;
};

// Gate for the sends of one carrier; the others are sent at once.
struct THeldCarrier {
  THeldCarrier(TChannelScript& script, int32_t carrierID) {
    script.SetSend([this, carrierID](const TNBaseChannelMessage&, int32_t id) {
      if (id == carrierID) Open.Wait(20000);
      return srSent;
    });
  }
  ~THeldCarrier() { Open.Set(); }
  TNEvent Open;
};

TEST_F(SchedulerTest, SixtyTapMessagesOnThreeModemsGetThreeChannels) {
  AddDevices(DK_MODEM, 3);
  NewCarrier(1, CT_TAP);
  AddMessages(1, CT_TAP, 60);
  TScheduler scheduler(pool_, Carriers(), Clients(), Data(), false);
  scheduler.RunSchedulingPass();
  EXPECT_TRUE(Logged(" (CarrierID: 1, Messages:60 )"));
  ASSERT_EQ(scheduler.Iterators().Count(), 1);
  TIterator& iterator = scheduler.Iterators().Items(0);
  EXPECT_EQ(iterator.CarrierID(), 1);
  EXPECT_EQ(iterator.CollectDevicesInUse().size(), 3u);
  ASSERT_TRUE(WaitUntil([&] { return Finished(Error(MSE_OK)) == 60; }, std::chrono::seconds(60)));
}

TEST_F(SchedulerTest, OneModemServesOnlyTheHeavierCarrier) {
  THeldCarrier held(Script(), 1);
  AddDevices(DK_MODEM, 1);
  NewCarrier(1, CT_TAP);
  NewCarrier(2, CT_TAP);
  AddMessages(1, CT_TAP, 5, 20);
  TScheduler scheduler(pool_, Carriers(), Clients(), Data(), false);
  scheduler.RunSchedulingPass();
  ASSERT_TRUE(WaitUntil([&] { return Pending("CarrierID = 1 AND Sending = 1") > 0; }));

  AddMessages(2, CT_TAP, 5, 1000);  // waited far longer: heavier
  scheduler.RunSchedulingPass();
  ASSERT_EQ(scheduler.Iterators().Count(), 1) << "the stopped iterator was reused";
  EXPECT_EQ(scheduler.Iterators().Items(0).CarrierID(), 2);
  held.Open.Set();
  ASSERT_TRUE(WaitUntil([&] { return Finished("CarrierID = 2") == 5; }));
  // Carrier 1 kept what it had not sent yet, none of it stuck as being sent.
  ASSERT_TRUE(WaitUntil([&] { return Pending("Sending = 1") == 0; }));
  EXPECT_EQ(Pending("CarrierID = 1") + Finished("CarrierID = 1"), 5);
  EXPECT_GE(Pending("CarrierID = 1"), 4);
}

TEST_F(SchedulerTest, TwoSmallCarriersOnTwoModemsGetOneEach) {
  TNEvent open;  // nothing is sent until the plan has been checked
  Script().SetSend([&](const TNBaseChannelMessage&, int32_t) {
    open.Wait(20000);
    return srSent;
  });
  AddDevices(DK_MODEM, 2);
  NewCarrier(1, CT_TAP);
  NewCarrier(2, CT_PACNET);
  AddMessages(1, CT_TAP, 5, 30);
  AddMessages(2, CT_PACNET, 5, 60);
  TScheduler scheduler(pool_, Carriers(), Clients(), Data(), false);
  scheduler.RunSchedulingPass();
  ASSERT_EQ(scheduler.Iterators().Count(), 2);
  std::set<int32_t> carriers, devices;
  for (int32_t i = 0; i < 2; ++i) {
    TIterator& iterator = scheduler.Iterators().Items(i);
    carriers.insert(iterator.CarrierID());
    const auto inUse = iterator.CollectDevicesInUse();
    ASSERT_EQ(inUse.size(), 1u);
    devices.insert(inUse.front()->ID);
  }
  EXPECT_EQ(carriers, (std::set<int32_t>{1, 2}));
  EXPECT_EQ(devices.size(), 2u);
  open.Set();
  ASSERT_TRUE(WaitUntil([&] { return Finished(Error(MSE_OK)) == 10; }));
}

TEST_F(SchedulerTest, CarrierTypesWithoutDevicesAreRejectedOnePerKindAndPass) {
  AddDevices(DK_MODEM, 0);
  NewCarrier(1, CT_TAP);
  NewCarrier(2, CT_PACNET);
  NewCarrier(3, CT_GSM_SMS);
  AddMessages(1, CT_TAP, 2, 30);
  AddMessages(2, CT_PACNET, 3, 60);  // heavier: first of the modem kind
  AddMessages(3, CT_GSM_SMS, 3, 10);
  TScheduler scheduler(pool_, Carriers(), Clients(), Data(), false);
  scheduler.RunSchedulingPass();
  const std::string noDevice = Error(MSE_NO_DEVICE_FOR_CARRIER_TYPE);
  EXPECT_EQ(Finished(noDevice + " AND CarrierType = 2"), 3);
  EXPECT_EQ(Finished(noDevice + " AND CarrierType = 4"), 3);
  EXPECT_EQ(Pending("CarrierType = 1"), 2) << "the second type of a kind waits for a later pass";
  EXPECT_TRUE(Logged("Scheduler: Message Send Error! No Device For CarrierType: 4; Message: "
                     "\"message 0\""));
  scheduler.RunSchedulingPass();
  EXPECT_EQ(Finished(noDevice + " AND CarrierType = 1"), 2);
  EXPECT_EQ(Pending(), 0);
  EXPECT_EQ(scheduler.Iterators().Count(), 0);
}

TEST_F(SchedulerTest, BadCarriersEndWithAResultAndTheOthersAreServed) {
  AddDevices(DK_MODEM, 1);
  AddDevices(DK_IP_NETWORK, 1);
  CarrierChannelsList().UnregisterChannelClass(CT_SNPP);
  NewCarrier(1, CT_TAP);
  NewCarrier(2, 42);
  NewCarrier(3, CT_SNPP);
  AddMessages(1, CT_TAP, 2, 5);
  AddMessages(2, 42, 2, 100);   // no device kind for the type
  AddMessages(99, CT_TAP, 2, 100);  // carrier missing from the carriers list
  AddMessages(3, CT_SNPP, 2, 100);  // no channel class for the type
  TScheduler scheduler(pool_, Carriers(), Clients(), Data(), false);
  scheduler.RunSchedulingPass();
  EXPECT_EQ(Finished("CarrierType = 42 AND " + Error(MSE_NO_DEVICE_FOR_CARRIER_TYPE)), 2);
  EXPECT_EQ(Finished("CarrierID = 99 AND " + Error(MSE_ABANDONED)), 2);
  EXPECT_EQ(Finished("CarrierType = 6 AND " + Error(MSE_NO_DEVICE_FOR_CARRIER_TYPE)), 2);
  ASSERT_TRUE(WaitUntil([&] { return Finished("CarrierID = 1 AND " + Error(MSE_OK)) == 2; }));
  EXPECT_EQ(Pending(), 0);
  EXPECT_TRUE(Logged("There is no DeviceType registered for the CarrierType: \"42\""));
  EXPECT_TRUE(Logged("Scheduler: Message Send Error! Non-Existent CarrierID: 99; Message: "
                     "\"message 1\""));
  EXPECT_TRUE(Logged("Scheduler: No Channel Class registered for the CarrierType: \"6\""));
}

TEST_F(SchedulerTest, EveryCarrierTypeOutsideTheKnownOnesIsRejectedInTurn) {
  // Types without a device kind all compete for "no kind": one is rejected per pass.
  const std::vector<int32_t> types = {0, 11, -5, 2147483647};
  for (size_t i = 0; i < types.size(); ++i) {
    NewCarrier(static_cast<int32_t>(i + 1), types[i]);
    AddMessages(static_cast<int>(i + 1), types[i], 2, static_cast<int>(10 * (i + 1)));
  }
  TScheduler scheduler(pool_, Carriers(), Clients(), Data(), false);
  for (size_t pass = 1; pass <= types.size(); ++pass) {
    scheduler.RunSchedulingPass();
    EXPECT_EQ(Finished(Error(MSE_NO_DEVICE_FOR_CARRIER_TYPE)), static_cast<int>(2 * pass));
  }
  EXPECT_EQ(Pending(), 0);
  for (int32_t type : types)
    EXPECT_TRUE(Logged("There is no DeviceType registered for the CarrierType: \"" +
                       std::to_string(type) + "\""));
}

TEST_F(SchedulerTest, PassWithoutMessagesKeepsTheChannels) {
  AddDevices(DK_MODEM, 1);
  NewCarrier(1, CT_TAP);
  AddMessages(1, CT_TAP, 1);
  TScheduler scheduler(pool_, Carriers(), Clients(), Data(), false);
  scheduler.RunSchedulingPass();
  ASSERT_TRUE(WaitUntil([&] { return Finished() == 1; }));
  const size_t lines = LogLines().size();
  scheduler.RunSchedulingPass();
  for (size_t i = lines; i < LogLines().size(); ++i)
    EXPECT_NE(LogLines()[i].rfind("Scheduler:", 0), 0u) << LogLines()[i];
  settings::LogZeroCarrier = true;
  scheduler.RunSchedulingPass();
  settings::LogZeroCarrier = false;
  EXPECT_TRUE(Logged("Scheduler: TotalCarriers: 0"));
  EXPECT_EQ(scheduler.Iterators().Items(0).CollectDevicesInUse().size(), 1u);
}

TEST_F(SchedulerTest, ThreadSurvivesAFailingPassAndGoesOn) {
  AddDevices(DK_MODEM, 1);
  NewCarrier(1, CT_TAP);
  AddMessages(1, CT_TAP, 3);
  Raw() << "ALTER TABLE Messages RENAME TO MessagesAway", now;
  TScheduler scheduler(pool_, Carriers(), Clients(), Data());
  ASSERT_TRUE(WaitUntil([&] {
    const auto& lines = LogLines();
    return std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
      return line.rfind("Scheduler: the scheduling pass failed: ", 0) == 0;
    });
  }));
  Raw() << "ALTER TABLE MessagesAway RENAME TO Messages", now;
  ASSERT_TRUE(WaitUntil([&] { return Finished(Error(MSE_OK)) == 3; }));
  EXPECT_GT(scheduler.PassCount(), 0);
}

// A scheduler period of 0 or less made the thread spin (a whole CPU with the server idle): the
// passes come at most one wait slice apart.
TEST_F(SchedulerTest, APeriodOfZeroOrLessStillWaitsASliceBetweenPasses) {
  const int32_t saved = settings::SchedulerRequeryPeriod;
  for (const int32_t period : {0, -1000}) {
    settings::SchedulerRequeryPeriod = period;
    TScheduler scheduler(pool_, Carriers(), Clients(), Data());
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    // One slice is 100 ms here: about ten passes a second, never hundreds.
    EXPECT_LE(scheduler.PassCount(), 15) << period;
    EXPECT_GT(scheduler.PassCount(), 0) << period;
  }
  settings::SchedulerRequeryPeriod = saved;
}

TEST_F(SchedulerTest, ServerSchedulerSendsWithoutOperatorHelp) {
  AddDevices(DK_IP_NETWORK, 2);
  NewCarrier(1, CT_SMTP);
  AddMessages(1, CT_SMTP, 4);
  auto scheduler = CreateScheduler(pool_, Carriers(), Clients(), Data(), {});
  ASSERT_NE(scheduler, nullptr);
  EXPECT_TRUE(WaitUntil([&] { return Finished(Error(MSE_OK)) == 4; }));
  // Stored while it runs: the carrier's wake brings it out without waiting for a pass.
  AddMessages(1, CT_SMTP, 1);
  Carriers()->Items(0)->NewMessageEvent.Set();
  EXPECT_TRUE(WaitUntil([&] { return Finished(Error(MSE_OK)) == 5; }));
}

} // namespace
} // namespace voxmit::test
