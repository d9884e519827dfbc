// Carrier iterators with the scripted channel on a real database file: feeding order and input
// limits, rescheduling, idle iterators, results for vanished rows, bad carriers and settings.

#include <gtest/gtest.h>

#include <atomic>

#include <algorithm>
#include <set>

#include "dispatch/dmodIterator.h"
#include "DispatchFixture.h"
#include "platform/TNEvent.h"

namespace voxmit::test {
namespace {

// Send blocks until the gate opens (or a long deadline passes).
struct TGate {
  TNEvent Open;
  TNEvent Reached;  // set once a send waits at the gate
  TChannelSendResult Wait() {
    Reached.Set();
    Open.Wait(20000);
    return srSent;
  }
};

// Channels of the iterator in its list (registered), as (device ID, channel) pairs.
std::vector<std::shared_ptr<TNBaseCarrierChannel>> Registered(TIterator& iterator) {
  std::vector<std::shared_ptr<TNBaseCarrierChannel>> channels;
  TNReadLock lock(iterator.Channels()->Lock());
  for (int32_t i = 0; i < iterator.Channels()->Count(); ++i)
    channels.push_back(iterator.Channels()->Items(i));
  return channels;
}

std::set<int32_t> DeviceIDs(const TDeviceList& devices) {
  std::set<int32_t> ids;
  for (const auto& d : devices) ids.insert(d->ID);
  return ids;
}

class IteratorTest : public DispatchTest {};

TEST_F(IteratorTest, FeedsInTimeReceivedOrderWithinTheInputLimit) {
  Script().Limits.Input = 4;
  Script().SetSend([](const TNBaseChannelMessage&, int32_t) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the queues fill
    return srSent;
  });
  NewCarrier(1, CT_TAP);
  // Received newest-first in ID order, so ID order and TimeReceived order disagree.
  std::vector<int> ids;
  const Poco::LocalDateTime base = Ago(100);
  for (int i = 0; i < 30; ++i) {
    TMessageRow row;
    row.CarrierID = 1;
    row.ClientRecordID = i;
    row.TimeReceived = DbTimeText(base + Poco::Timespan(0, (30 - i) * 1000));
    row.MessageText = "m" + std::to_string(i);
    ids.push_back(AddMessage(row));
  }
  {
    TIterator iterator(Carriers(), Clients(), Data());
    iterator.ReSchedule(1, {NewDevice(1, DK_MODEM), NewDevice(2, DK_MODEM)});
    ASSERT_TRUE(WaitUntil([&] { return Finished() == 30; }, std::chrono::seconds(60)));
  }
  EXPECT_EQ(Pending(), 0);
  EXPECT_EQ(Finished("ErrorCode = 0 AND SendConfirmed = 0"), 30);
  const auto sent = Script().Sent();
  ASSERT_EQ(sent.size(), 30u);
  std::set<std::string> devices;
  for (const std::string device : {"Device1", "Device2"}) {
    // Later IDs were received earlier: each channel sends IDs in falling order.
    int previous = 1 << 30;
    for (const auto& part : sent) {
      if (part.Device != device) continue;
      devices.insert(device);
      EXPECT_LT(part.ID, previous) << device;
      previous = part.ID;
    }
    EXPECT_LE(Script().MaxQueued(device), 4) << device;
  }
  EXPECT_EQ(devices.size(), 2u) << "both channels took messages";
  // Copied columns arrive unchanged.
  EXPECT_EQ(Finished("ServerRecordID = " + std::to_string(ids[7]) +
                     " AND MessageText = 'm7' AND ClientRecordID = 7 AND CarrierID = 1"),
            1);
}

TEST_F(IteratorTest, PagesFollowTheOrderAcrossEqualTimes) {
  // More rows than one page, many of them received at the same moment: the page boundaries
  // fall inside runs of equal TimeReceived, where ID decides.
  NewCarrier(1, CT_TAP);
  const int total = 2 * TIterator::kPageSize + 200;
  const Poco::LocalDateTime base = Ago(100);
  std::vector<std::pair<std::string, int>> expected;  // (TimeReceived, ID)
  Raw() << "BEGIN IMMEDIATE", now;
  for (int i = 0; i < total; ++i) {
    TMessageRow row;
    row.CarrierID = 1;
    row.TimeReceived = DbTimeText(base + Poco::Timespan(0, (i % 3) * 1000));
    expected.emplace_back(row.TimeReceived, AddMessage(row));
  }
  Raw() << "COMMIT", now;
  std::sort(expected.begin(), expected.end());
  {
    TIterator iterator(Carriers(), Clients(), Data());
    iterator.ReSchedule(1, {NewDevice(1, DK_MODEM)});
    ASSERT_TRUE(WaitUntil([&] { return Finished() == total; }, std::chrono::seconds(120)));
  }
  const auto sent = Script().Sent();
  ASSERT_EQ(sent.size(), static_cast<size_t>(total));
  for (size_t i = 0; i < sent.size(); ++i)
    ASSERT_EQ(sent[i].ID, expected[i].second) << "position " << i;
}

TEST_F(IteratorTest, OneDeviceFewerClosesExactlyThatChannel) {
  NewCarrier(1, CT_TAP);
  auto d1 = NewDevice(1, DK_MODEM), d2 = NewDevice(2, DK_MODEM), d3 = NewDevice(3, DK_MODEM);
  TIterator iterator(Carriers(), Clients(), Data());
  iterator.ReSchedule(1, {d1, d2, d3});
  ASSERT_TRUE(WaitUntil([&] { return Registered(iterator).size() == 3; }));
  auto before = Registered(iterator);

  iterator.ReSchedule(1, {d1, d3});
  ASSERT_TRUE(WaitUntil([&] { return Registered(iterator).size() == 2; }));
  EXPECT_EQ(DeviceIDs(iterator.CollectDevicesInUse()), (std::set<int32_t>{1, 3}));
  for (const auto& channel : before) {
    const bool onD2 = channel->Device() == d2;
    EXPECT_EQ(channel->Closing(), onD2) << channel->Device()->Name;
  }
  // No channel was created for the devices that kept theirs.
  const auto after = Registered(iterator);
  for (const auto& channel : after)
    EXPECT_NE(std::find(before.begin(), before.end(), channel), before.end());
  before.clear();
  EXPECT_TRUE(WaitUntil([&] { return iterator.LiveChannelCount() == 2; }));
}

TEST_F(IteratorTest, ChannelWaitingForItsDeviceIsNotDoubled) {
  NewCarrier(1, CT_TAP);
  auto d1 = NewDevice(1, DK_MODEM);
  ASSERT_TRUE(d1->FreeEvent.TryTake());  // someone else holds the device
  TIterator iterator(Carriers(), Clients(), Data());
  iterator.ReSchedule(1, {d1});
  EXPECT_EQ(DeviceIDs(iterator.CollectDevicesInUse()), (std::set<int32_t>{1}));
  iterator.ReSchedule(1, {d1});
  iterator.ReSchedule(1, {d1});
  EXPECT_EQ(iterator.LiveChannelCount(), 1);
  d1->FreeEvent.Set();
  ASSERT_TRUE(WaitUntil([&] { return Registered(iterator).size() == 1; }));
}

TEST_F(IteratorTest, AnotherCarrierClosesEveryChannelAndServesTheNewOneAtOnce) {
  TGate gate;
  Script().SetSend([&](const TNBaseChannelMessage&, int32_t carrierID) {
    return carrierID == 1 ? gate.Wait() : srSent;
  });
  NewCarrier(1, CT_TAP);
  NewCarrier(2, CT_PACNET);
  AddMessages(1, CT_TAP, 20);
  AddMessages(2, CT_PACNET, 5);
  auto d1 = NewDevice(1, DK_MODEM), d2 = NewDevice(2, DK_MODEM);
  TIterator iterator(Carriers(), Clients(), Data());
  iterator.ReSchedule(1, {d1, d2});
  ASSERT_TRUE(WaitUntil([&] { return Pending("Sending = 1") > 2; }));
  const auto old = Registered(iterator);

  iterator.ReSchedule(2, {d1});
  for (const auto& channel : old) EXPECT_TRUE(channel->Closing());
  gate.Open.Set();
  ASSERT_TRUE(WaitUntil([&] { return Finished("CarrierID = 2") == 5; }));
  ASSERT_TRUE(WaitUntil([&] { return Pending("Sending = 1") == 0; }));
  // Carrier 1's messages were either sent by the part in progress or handed back untried.
  EXPECT_EQ(Pending("CarrierID = 1") + Finished("CarrierID = 1"), 20);
  EXPECT_GE(Pending("CarrierID = 1"), 15);
  EXPECT_EQ(iterator.CarrierID(), 2);
  EXPECT_EQ(DeviceIDs(iterator.CollectDevicesInUse()), (std::set<int32_t>{1}));
}

TEST_F(IteratorTest, NoDevicesKeepsAnIteratorIdleAndWithoutChannels) {
  NewCarrier(1, CT_TAP);
  AddMessages(1, CT_TAP, 3);
  TIterator iterator(Carriers(), Clients(), Data());
  EXPECT_FALSE(iterator.Idle());
  iterator.ReSchedule(1, {});
  EXPECT_FALSE(iterator.Idle()) << "an empty device list does not change Idle";
  iterator.StopServing();
  EXPECT_TRUE(iterator.Idle());
  iterator.ReSchedule(1, {});
  EXPECT_TRUE(iterator.Idle());
  EXPECT_EQ(iterator.LiveChannelCount(), 0);
  iterator.ReSchedule(1, {NewDevice(1, DK_MODEM)});
  EXPECT_FALSE(iterator.Idle());
  ASSERT_TRUE(WaitUntil([&] { return Finished() == 3; }));
  iterator.StopServing();
  EXPECT_TRUE(iterator.Idle());
  ASSERT_TRUE(WaitUntil([&] { return iterator.LiveChannelCount() == 0; }));
}

TEST_F(IteratorTest, ResultForADeletedRowIsDropped) {
  TGate gate;
  Script().SetSend([&](const TNBaseChannelMessage&, int32_t) { return gate.Wait(); });
  NewCarrier(1, CT_TAP);
  const auto ids = AddMessages(1, CT_TAP, 2);
  TIterator iterator(Carriers(), Clients(), Data());
  iterator.ReSchedule(1, {NewDevice(1, DK_MODEM)});
  ASSERT_TRUE(WaitUntil([&] { return Pending("Sending = 1") == 2; }));
  Raw() << "DELETE FROM Messages WHERE ID = " + std::to_string(ids[0]), now;  // the operator
  gate.Open.Set();
  ASSERT_TRUE(WaitUntil([&] { return Pending() == 0; }));
  EXPECT_TRUE(WaitUntil([&] { return Script().Sent().size() == 2; }));
  EXPECT_EQ(Finished(), 1);
  EXPECT_EQ(Finished("ServerRecordID = " + std::to_string(ids[1])), 1);
}

TEST_F(IteratorTest, UntriedAndFailedPartsAreRecordedAsSuch) {
  // Connect fails for carrier 1 (every part returns MSE_NO_CONNECTION); carrier 2 always asks
  // for a retry (MSE_RETRIES_EXCEEDED after MessageRetries + 1 attempts).
  Script().SetConnect([](int32_t carrierID) {
    return carrierID == 1 ? crNoConnection : crConnected;
  });
  Script().SetSend([](const TNBaseChannelMessage&, int32_t) { return srRetry; });
  NewCarrier(1, CT_TAP);
  NewCarrier(2, CT_SMTP);
  AddMessages(1, CT_TAP, 3);
  AddMessages(2, CT_SMTP, 2);
  TIterator first(Carriers(), Clients(), Data()), second(Carriers(), Clients(), Data());
  auto modem = NewDevice(1, DK_MODEM);
  second.ReSchedule(2, {NewDevice(2, DK_IP_NETWORK)});
  // A channel whose Connect failed closes itself once its queue is empty; as the scheduler
  // does each pass, the iterator is given the device again and builds a new channel on it.
  ASSERT_TRUE(WaitUntil([&] {
    first.ReSchedule(1, {modem});
    return Finished() == 5;
  }, std::chrono::seconds(30)));
  EXPECT_EQ(Finished("CarrierID = 1 AND ErrorCode = " + std::to_string(MSE_NO_CONNECTION)), 3);
  EXPECT_EQ(Finished("CarrierID = 2 AND ErrorCode = " + std::to_string(MSE_RETRIES_EXCEEDED)), 2);
}

TEST_F(IteratorTest, ChannelClosedWithQueuedPartsGivesThemBack) {
  TGate gate;
  Script().SetSend([&](const TNBaseChannelMessage&, int32_t) { return gate.Wait(); });
  NewCarrier(1, CT_TAP);
  AddMessages(1, CT_TAP, 6);
  auto d1 = NewDevice(1, DK_MODEM);
  TIterator iterator(Carriers(), Clients(), Data());
  iterator.ReSchedule(1, {d1});
  ASSERT_TRUE(WaitUntil([&] { return Pending("Sending = 1") == 6; }));
  // Rows are marked before the worker takes their parts: stop only once one is being sent.
  ASSERT_EQ(gate.Reached.Wait(20000), wrSignaled);
  iterator.StopServing();
  gate.Open.Set();
  // One part was being sent; the five queued behind it come back untried.
  ASSERT_TRUE(WaitUntil([&] { return Pending("Sending = 0") == 5 && Finished() == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return iterator.LiveChannelCount() == 0; }));
  // Served again, the returned messages go out.
  iterator.ReSchedule(1, {d1});
  ASSERT_TRUE(WaitUntil([&] { return Finished() == 6; }));
}

// A result that could not be written ten times was given up, and its message, though sent,
// was reported abandoned at the next start. It is now tried until it is written.
TEST_F(IteratorTest, AResultThatCannotBeWrittenIsRetriedUntilItIs) {
  NewCarrier(1, CT_TAP);
  AddMessages(1, CT_TAP, 1);
  Raw() << "ALTER TABLE SentMessages RENAME TO SentAway", now;
  TIterator iterator(Carriers(), Clients(), Data());
  iterator.ReSchedule(1, {NewDevice(1, DK_MODEM)});
  const auto failures = [&] {
    const auto lines = LogLines();
    return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
      return line.find("recording the result of message") != std::string::npos;
    });
  };
  ASSERT_TRUE(WaitUntil([&] { return failures() > 12; }, std::chrono::seconds(30)));
  Raw() << "ALTER TABLE SentAway RENAME TO SentMessages", now;
  ASSERT_TRUE(WaitUntil([&] { return Finished("ErrorCode = 0") == 1; }));
  EXPECT_EQ(Pending(), 0);
}

// Results that come back together are written together; one the database refuses holds up
// none of the others and is itself written once it can be.
TEST_F(IteratorTest, RefusedResultAmongOthersCostsThemNothing) {
  TGate gate;
  Script().SetSend([&](const TNBaseChannelMessage&, int32_t) { return gate.Wait(); });
  NewCarrier(1, CT_TAP);
  const auto ids = AddMessages(1, CT_TAP, 4);
  Raw() << "CREATE TRIGGER RefuseResult BEFORE INSERT ON SentMessages WHEN NEW.ServerRecordID = " +
               std::to_string(ids[1]) + " BEGIN SELECT RAISE(ABORT, 'refused'); END",
      now;
  TIterator iterator(Carriers(), Clients(), Data());
  iterator.ReSchedule(1, {NewDevice(1, DK_MODEM)});
  ASSERT_TRUE(WaitUntil([&] { return Pending("Sending = 1") == 4; }));
  gate.Open.Set();
  ASSERT_TRUE(WaitUntil([&] { return Finished() == 3; }));
  EXPECT_EQ(Pending("ID = " + std::to_string(ids[1])), 1);
  Raw() << "DROP TRIGGER RefuseResult", now;
  ASSERT_TRUE(WaitUntil([&] { return Finished() == 4; }, std::chrono::seconds(20)));
  EXPECT_EQ(Pending(), 0);
}

// One wait watches at most 64 events: the channels beyond the 64th had their results never
// collected, and the iterator's stop waited on them for ever. The window now moves on.
TEST_F(IteratorTest, MoreThanSixtyFourChannelsAreAllServedAndCollected) {
  constexpr int kDevices = 70;
  NewCarrier(1, CT_SMTP);
  AddMessages(1, CT_SMTP, 2 * kDevices);
  // A channel holding one part is full: the send thread must find the channels beyond the
  // 64th to place more, and every channel is sending at once before the gate opens.
  Script().Limits.Input = 1;
  TGate gate;
  std::atomic<int> sending{0};
  Script().SetSend([&](const TNBaseChannelMessage&, int32_t) {
    ++sending;
    return gate.Wait();
  });
  TDeviceList devices;
  for (int i = 1; i <= kDevices; ++i) devices.push_back(NewDevice(i, DK_IP_NETWORK));
  {
    TIterator iterator(Carriers(), Clients(), Data());
    iterator.ReSchedule(1, devices);
    // Well within the gate's own 20 s limit, after which a send would go on by itself.
    EXPECT_TRUE(WaitUntil([&] { return sending >= kDevices; }, std::chrono::seconds(10)))
        << sending << " of " << kDevices << " channels got a part";
    gate.Open.Set();
    ASSERT_TRUE(WaitUntil([&] { return Finished() == 2 * kDevices; }, std::chrono::seconds(60)));
    iterator.StopServing();
    ASSERT_TRUE(WaitUntil([&] { return iterator.LiveChannelCount() == 0; },
                          std::chrono::seconds(60)));
  }
  EXPECT_EQ(Pending(), 0);
}

TEST_F(IteratorTest, BadCarriersAreLoggedAndTheIteratorGoesOn) {
  CarrierChannelsList().UnregisterChannelClass(CT_SNPP);
  NewCarrier(1, CT_SNPP);
  NewCarrier(2, CT_TAP);
  AddMessages(2, CT_TAP, 2);
  TIterator iterator(Carriers(), Clients(), Data());
  iterator.ReSchedule(77, {NewDevice(1, DK_MODEM)});
  iterator.ReSchedule(1, {NewDevice(2, DK_IP_NETWORK)});
  EXPECT_EQ(iterator.LiveChannelCount(), 0);
  iterator.ReSchedule(2, {NewDevice(3, DK_MODEM)});
  ASSERT_TRUE(WaitUntil([&] { return Finished() == 2; }));
  EXPECT_TRUE(Logged("From TIterator.ReSchedule() - Non-Existent CarrierID Supplied: \"77\""));
  EXPECT_TRUE(Logged("From TIterator.ReSchedule() - No Channel Class registered for the "
                     "CarrierType Supplied: \"6\""));
}

TEST_F(IteratorTest, UnparsableCarrierSettingsStillFinishEveryMessage) {
  Script().ThrowOnParse = true;
  NewCarrier(1, CT_TAP);
  AddMessages(1, CT_TAP, 3);
  {
    TIterator iterator(Carriers(), Clients(), Data());
    iterator.ReSchedule(1, {NewDevice(1, DK_MODEM)});
    ASSERT_TRUE(WaitUntil([&] { return Finished() == 3; }));
  }
  EXPECT_EQ(Finished("ErrorCode = " + std::to_string(MSE_ABANDONED)), 3);
  EXPECT_EQ(Pending(), 0);
  const auto& lines = LogLines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("ParseCarrierSettings failed") != std::string::npos;
  }));
}

TEST_F(IteratorTest, FindIteratorPrefersTheSameCarrierThenAnIdleOne) {
  NewCarrier(1, CT_TAP);
  NewCarrier(2, CT_TAP);
  TIteratorsList list(Carriers(), Clients(), Data());
  TIterator& a = list.FindIterator(1);
  a.Assigned = true;
  TIterator& b = list.FindIterator(2);
  EXPECT_NE(&a, &b);
  EXPECT_EQ(list.Count(), 2);
  list.StopAll();
  EXPECT_TRUE(a.Idle());
  EXPECT_TRUE(b.Idle());
  b.ReSchedule(2, {NewDevice(1, DK_MODEM)});
  list.ClearAssigned();
  EXPECT_EQ(&list.FindIterator(2), &b) << "the iterator serving the carrier, before an idle one";
  EXPECT_EQ(&list.FindIterator(5), &a) << "the first unassigned idle iterator";
  b.Assigned = true;
  a.Assigned = true;
  EXPECT_EQ(list.FindIterator(2).CarrierID(), 0) << "every iterator assigned: a new one";
  EXPECT_EQ(list.Count(), 3);
}

// A carrier that had no device for one pass comes back to the iterator that served it, not to
// the first idle one: that iterator's send thread may hold rows it marked Sending, which no
// other iterator could send.
TEST_F(IteratorTest, FindIteratorGivesAStoppedIteratorItsCarrierBack) {
  NewCarrier(1, CT_TAP);
  NewCarrier(2, CT_TAP);
  TIteratorsList list(Carriers(), Clients(), Data());
  TIterator& a = list.FindIterator(1);
  a.Assigned = true;
  TIterator& b = list.FindIterator(2);
  b.ReSchedule(2, {NewDevice(1, DK_MODEM)});
  list.StopAll();
  list.ClearAssigned();
  ASSERT_TRUE(a.Idle());
  EXPECT_EQ(&list.FindIterator(2), &b) << "the stopped iterator of the carrier, before a";
}

} // namespace
} // namespace voxmit::test
