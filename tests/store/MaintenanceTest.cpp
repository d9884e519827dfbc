// Start-up clean-up and maintenance passes on rows with arranged ages.

#include <gtest/gtest.h>

#include "host/ServerSettings.h"
#include "store/dmodMaintenance.h"
#include "support/WaitUntil.h"
#include "StoreFixture.h"

namespace voxmit::test {
namespace {

constexpr int kMinute = 60;

// Restores the maintenance settings a test changes.
class SettingsGuard {
public:
  SettingsGuard()
      : unsent_(settings::MaxUnsentMessageAge),
        unconfirmed_(settings::MaxUnconfirmedMessageAge),
        archived_(settings::MaxArchivedMessageAge),
        period_(settings::MaintenancePeriod),
        slice_(settings::ThreadWaitLoopTimeout) {}
  ~SettingsGuard() {
    settings::MaxUnsentMessageAge = unsent_;
    settings::MaxUnconfirmedMessageAge = unconfirmed_;
    settings::MaxArchivedMessageAge = archived_;
    settings::MaintenancePeriod = period_;
    settings::ThreadWaitLoopTimeout = slice_;
  }

private:
  int32_t unsent_, unconfirmed_, archived_, period_, slice_;
};

class MaintenanceTest : public StoreTest {
protected:
  MaintenanceTest() {
    settings::MaxUnsentMessageAge = 60;
    settings::MaxUnconfirmedMessageAge = 1440;
    settings::MaxArchivedMessageAge = 10080;
    settings::MaintenancePeriod = 20;
  }
  SettingsGuard guard_;
  TDMData data_{DbFile()};
  TDmMaintenance maintenance_{data_};
};

TEST_F(MaintenanceTest, OldUnsentMessageIsFinishedAsAbandoned) {
  TMessageRow old;
  old.TimeReceived = DbSecondsAgo(61 * kMinute);
  old.MessageText = "too old";
  old.ReceiveConfirmed = 0;
  const int oldId = AddMessage(old);
  TMessageRow young;
  young.TimeReceived = DbSecondsAgo(59 * kMinute);
  AddMessage(young);
  TMessageRow held = old;  // a channel holds it: its result is still to come
  held.Sending = 1;
  const int heldId = AddMessage(held);

  LogCapture log;
  ASSERT_TRUE(maintenance_.MaintenancePass());

  EXPECT_EQ(Count("Messages", "ID = " + std::to_string(oldId)), 0);
  EXPECT_EQ(Count("Messages", "ID = " + std::to_string(heldId)), 1);
  EXPECT_EQ(Count("Messages"), 2);
  ASSERT_EQ(Count("SentMessages"), 1);
  EXPECT_EQ(Count("SentMessages", "ServerRecordID = " + std::to_string(oldId) +
                                      " AND ErrorCode = 1 AND SendConfirmed = 0"
                                      " AND ReceiveConfirmed = 0 AND MessageText = 'too old'"
                                      " AND TimeReceived = '" + old.TimeReceived + "'"),
            1);
  EXPECT_EQ(log.Lines().size(), 1u);
  // The result waits for its confirmation; the next pass does not archive it yet.
  ASSERT_TRUE(maintenance_.MaintenancePass());
  EXPECT_EQ(Count("SentMessages"), 1);
  EXPECT_EQ(Count("ArchivedMessages"), 0);
}

TEST_F(MaintenanceTest, ConfirmedResultIsArchivedWithEveryColumnButId) {
  TResultRow confirmed;
  confirmed.SendConfirmed = 1;
  confirmed.ErrorCode = MSE_NO_CONNECTION;
  confirmed.ClientRecordID = 41;
  confirmed.ServerRecordID = 4711;
  confirmed.CarrierType = CT_WCTP;
  confirmed.CarrierID = 12;
  confirmed.TimeReceived = DbSecondsAgo(300);
  confirmed.TimeSent = DbSecondsAgo(200);
  confirmed.ReceiveConfirmed = 0;
  confirmed.PagerID = "p'1";
  confirmed.MessageText = "line1\r\nline2";
  Raw() << "INSERT INTO ArchivedMessages (ClientGUID) VALUES ('push the archive IDs on')", now;
  const int id = AddResult("SentMessages", confirmed);
  const auto before = ResultWithoutId("SentMessages", "ID = " + std::to_string(id));

  ASSERT_TRUE(maintenance_.MaintenancePass());

  EXPECT_EQ(Count("SentMessages"), 0);
  EXPECT_EQ(ResultWithoutId("ArchivedMessages", "ClientRecordID = 41"), before);
}

TEST_F(MaintenanceTest, UnconfirmedResultIsArchivedOnlyPastItsAge) {
  TResultRow recent;
  recent.TimeSent = DbSecondsAgo(23 * 60 * kMinute);
  recent.ClientRecordID = 23;
  TResultRow old;
  old.TimeSent = DbSecondsAgo(25 * 60 * kMinute);
  old.ClientRecordID = 25;
  AddResult("SentMessages", recent);
  AddResult("SentMessages", old);

  ASSERT_TRUE(maintenance_.MaintenancePass());

  EXPECT_EQ(Count("SentMessages", "ClientRecordID = 23"), 1);
  EXPECT_EQ(Count("SentMessages"), 1);
  EXPECT_EQ(Count("ArchivedMessages", "ClientRecordID = 25 AND SendConfirmed = 0"), 1);
  EXPECT_EQ(Count("ArchivedMessages"), 1);
}

TEST_F(MaintenanceTest, ArchiveIsPurgedByMessageArrival) {
  TResultRow old;
  old.TimeReceived = DbSecondsAgo(10081 * kMinute);
  old.TimeSent = DbSecondsAgo(60);  // the arrival counts, not the send
  old.ClientRecordID = 1;
  TResultRow kept;
  kept.TimeReceived = DbSecondsAgo(10079 * kMinute);
  kept.ClientRecordID = 2;
  AddResult("ArchivedMessages", old);
  AddResult("ArchivedMessages", kept);

  ASSERT_TRUE(maintenance_.MaintenancePass());

  EXPECT_EQ(Count("ArchivedMessages"), 1);
  EXPECT_EQ(Count("ArchivedMessages", "ClientRecordID = 2"), 1);
}

TEST_F(MaintenanceTest, FailedPassChangesNothingAndTheNextOneWorks) {
  TMessageRow old;
  old.TimeReceived = DbSecondsAgo(61 * kMinute);
  AddMessage(old);
  TResultRow confirmed;
  confirmed.SendConfirmed = 1;
  AddResult("SentMessages", confirmed);
  Raw() << "ALTER TABLE ArchivedMessages RENAME TO Elsewhere", now;

  LogCapture log;
  EXPECT_FALSE(maintenance_.MaintenancePass());
  EXPECT_EQ(log.Lines().size(), 1u);
  // The pass is one transaction: the abandoned message was not finished either.
  EXPECT_EQ(Count("Messages"), 1);
  EXPECT_EQ(Count("SentMessages"), 1);

  Raw() << "ALTER TABLE Elsewhere RENAME TO ArchivedMessages", now;
  EXPECT_TRUE(maintenance_.MaintenancePass());
  EXPECT_EQ(Count("Messages"), 0);
  EXPECT_EQ(Count("SentMessages", "ErrorCode = 1"), 1);
  EXPECT_EQ(Count("ArchivedMessages"), 1);
  EXPECT_EQ(maintenance_.PassCount(), 2);
}

TEST_F(MaintenanceTest, UnusedCarriersGoAndReferencedOnesStay) {
  for (int id = 1; id <= 6; ++id) AddCarrier(id);
  TMessageRow message;
  message.CarrierID = 1;
  AddMessage(message);
  TResultRow sent;
  sent.CarrierID = 5;
  AddResult("SentMessages", sent);
  TResultRow archived;
  archived.CarrierID = 6;
  AddResult("ArchivedMessages", archived);

  EXPECT_EQ(maintenance_.DeleteUnusedCarriers(), 3);

  std::vector<int> left;
  Raw() << "SELECT CarrierID FROM Carriers ORDER BY CarrierID", into(left), now;
  EXPECT_EQ(left, (std::vector<int>{1, 5, 6}));
}

TEST_F(MaintenanceTest, StartupCleanupFinishesMessagesLeftInSending) {
  AddCarrier(1);
  AddCarrier(2);
  TMessageRow leftOver;
  leftOver.Sending = 1;
  leftOver.CarrierID = 2;
  leftOver.TimeReceived = DbSecondsAgo(60);
  const int a = AddMessage(leftOver);
  const int b = AddMessage(leftOver);
  TMessageRow waiting;
  waiting.CarrierID = 1;
  const int c = AddMessage(waiting);

  maintenance_.StartupCleanup();

  std::vector<int> remaining;
  Raw() << "SELECT ID FROM Messages", into(remaining), now;
  EXPECT_EQ(remaining, std::vector<int>{c});
  EXPECT_EQ(Count("SentMessages", "ErrorCode = 1 AND SendConfirmed = 0 AND CarrierID = 2 AND "
                                  "ServerRecordID IN (" + std::to_string(a) + "," +
                                      std::to_string(b) + ")"),
            2);
  // Carrier 2 is still referenced, by the results.
  EXPECT_EQ(Count("Carriers"), 2);
}

TEST_F(MaintenanceTest, ThreadPassesAtOnceThenEveryPeriodAndStopsPromptly) {
  settings::MaxUnsentMessageAge = 10;
  settings::ThreadWaitLoopTimeout = 60000;  // the stop request must not wait for a slice
  TResultRow confirmed;
  confirmed.SendConfirmed = 1;
  AddResult("SentMessages", confirmed);

  maintenance_.StartMaintenance();
  EXPECT_EQ(settings::MaintenancePeriod, 10);
  ASSERT_TRUE(WaitUntil([&] { return maintenance_.PassCount() >= 1; }));
  EXPECT_EQ(Count("ArchivedMessages"), 1);
  const auto stopAsked = std::chrono::steady_clock::now();
  maintenance_.StopMaintenance();
  EXPECT_LT(std::chrono::steady_clock::now() - stopAsked, std::chrono::seconds(30));
  EXPECT_FALSE(maintenance_.Running());
  EXPECT_EQ(maintenance_.PassCount(), 1);
}

TEST_F(MaintenanceTest, ThreadGoesOnAfterAFailedPass) {
  settings::MaintenancePeriod = 0;  // a pass after every slice
  settings::ThreadWaitLoopTimeout = 10;
  Raw() << "ALTER TABLE ArchivedMessages RENAME TO Elsewhere", now;
  TResultRow confirmed;
  confirmed.SendConfirmed = 1;
  AddResult("SentMessages", confirmed);

  maintenance_.StartMaintenance();
  ASSERT_TRUE(WaitUntil([&] { return maintenance_.PassCount() >= 2; }));
  EXPECT_EQ(Count("SentMessages"), 1);
  Raw() << "ALTER TABLE Elsewhere RENAME TO ArchivedMessages", now;
  EXPECT_TRUE(WaitUntil([&] { return Count("ArchivedMessages") == 1; }));
  maintenance_.StopMaintenance();
  EXPECT_EQ(Count("SentMessages"), 0);
}

} // namespace
} // namespace voxmit::test
