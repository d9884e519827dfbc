// Several server threads write at once, each on its own connection: no operation may fail
// with "database is locked", and no message may be lost or written twice.

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "store/DbSession.h"
#include "store/dmodMaintenance.h"
#include "StoreFixture.h"

namespace voxmit::test {
namespace {

using ConcurrencyTest = StoreTest;

TEST_F(ConcurrencyTest, WritersOnTheirOwnConnectionsLoseNothing) {
  constexpr int kInserters = 3;
  constexpr int kPerInserter = 150;
  TDMData data(DbFile());
  TDmMaintenance maintenance(data);
  std::atomic<bool> inserting{true};
  std::atomic<int> failures{0};
  std::atomic<int> rejected{0};
  std::vector<std::vector<int32_t>> ids(kInserters);

  std::vector<std::thread> threads;
  for (int t = 0; t < kInserters; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerInserter; ++i) {
        // Every fifth message goes to a carrier type without devices.
        const int32_t type = i % 5 == 0 ? CT_ACU : CT_TAP;
        const auto id = data.InsertNewMessage("{g" + std::to_string(t) + "}", i, type, 1, "p",
                                              "m" + std::to_string(i));
        if (id)
          ids[t].push_back(*id);
        else
          ++failures;
      }
    });
  }
  // The scheduler: rejects the device-less type again and again.
  std::thread scheduler([&] {
    while (inserting) {
      const int32_t n = data.RejectMessagesOfCarrierType(CT_ACU);
      if (n < 0) ++failures;
      else rejected += n;
    }
  });
  // An iterator's receive side: finishes sent messages and marks some replies undelivered.
  std::thread receiver([&] {
    while (inserting) {
      std::vector<int32_t> pending;
      data.ThreadSession() << "SELECT ID FROM Messages WHERE CarrierType = 1 ORDER BY ID LIMIT 3",
          into(pending), now;
      for (int32_t id : pending) {
        if (!data.FinishMessage(id, MSE_OK)) ++failures;
        if (!data.MarkReplyUndelivered(5, id)) ++failures;
        if (!data.MarkReplyUndelivered(3, id + 1)) ++failures;
      }
    }
  });
  // A confirmation thread: reports results, so maintenance archives them meanwhile.
  std::thread confirmer([&] {
    while (inserting) {
      try {
        Poco::Data::Session& session = data.ThreadSession();
        RunWriteTransaction(session, [&] {
          session << "UPDATE SentMessages SET SendConfirmed = 1 WHERE SendConfirmed = 0", now;
        });
      } catch (const Poco::Exception&) {
        ++failures;
      }
    }
  });
  std::thread cleaner([&] {
    while (inserting)
      if (!maintenance.MaintenancePass()) ++failures;
  });

  for (int t = 0; t < kInserters; ++t) threads[t].join();
  inserting = false;
  scheduler.join();
  receiver.join();
  confirmer.join();
  cleaner.join();
  const int32_t last = data.RejectMessagesOfCarrierType(CT_ACU);
  ASSERT_GE(last, 0);
  rejected += last;

  EXPECT_EQ(failures, 0);
  std::set<int32_t> unique;
  for (const auto& v : ids) unique.insert(v.begin(), v.end());
  EXPECT_EQ(unique.size(), size_t(kInserters * kPerInserter)) << "IDs must all differ";
  // Every message is either still waiting or has exactly one result row.
  EXPECT_EQ(Count("Messages") + Count("SentMessages") + Count("ArchivedMessages"),
            kInserters * kPerInserter);
  int distinct = 0;
  Raw() << "SELECT count(DISTINCT ServerRecordID) FROM (SELECT ServerRecordID FROM SentMessages "
           "UNION ALL SELECT ServerRecordID FROM ArchivedMessages)",
      into(distinct), now;
  EXPECT_EQ(distinct, Count("SentMessages") + Count("ArchivedMessages"));
  EXPECT_EQ(Count("Messages", "CarrierType = 9"), 0);
  EXPECT_EQ(Count("SentMessages", "ErrorCode = 8") + Count("ArchivedMessages", "ErrorCode = 8"),
            kInserters * (kPerInserter / 5));
  EXPECT_EQ(rejected, kInserters * (kPerInserter / 5));
  // Once every result is reported, one more pass archives them all.
  Raw() << "UPDATE SentMessages SET SendConfirmed = 1", now;
  ASSERT_TRUE(maintenance.MaintenancePass());
  EXPECT_EQ(Count("SentMessages"), 0);
  EXPECT_EQ(Count("Messages") + Count("ArchivedMessages"), kInserters * kPerInserter);
}

// Writers of this process take turns in process: none of them ever reaches SQLite's busy
// handler, so even connections that would give up at once on a held lock never fail.
TEST_F(ConcurrencyTest, WritersOfOneProcessNeverMeetTheLock) {
  constexpr int kWriters = 4;
  constexpr int kPerWriter = 60;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t) {
    threads.emplace_back([&, t] {
      Poco::Data::Session session = OpenDbSession(DbFile());
      session << "PRAGMA busy_timeout = 0", now;
      for (int i = 0; i < kPerWriter; ++i) {
        try {
          RunWriteTransaction(session, [&] {
            session << "INSERT INTO Messages (ClientGUID, ClientRecordID, CarrierType, "
                       "CarrierID) VALUES (?, ?, 1, 1)",
                bind("{w" + std::to_string(t) + "}"), bind(i), now;
          });
        } catch (const Poco::Exception&) {
          ++failures;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(Count("Messages"), kWriters * kPerWriter);
}

// The turn is re-entrant for its holder, and another thread waits for it (in process, not in
// the busy handler: its connection would give up at once).
TEST_F(ConcurrencyTest, WriteGateWaitsForTheHolderAndLetsItNest) {
  Poco::Data::Session holder = OpenDbSession(DbFile());
  TWriteGate& gate = WriteGateOf(holder);
  std::atomic<bool> otherWrote{false};
  std::thread other;
  RunWriteTransaction(holder, [&] {
    {
      const TWriteTurn nested(gate);  // the holder itself never waits
    }
    holder << "INSERT INTO Messages (ClientGUID, ClientRecordID, CarrierType, CarrierID) "
              "VALUES ('{h}', 1, 1, 1)",
        now;
    other = std::thread([&] {
      Poco::Data::Session session = OpenDbSession(DbFile());
      session << "PRAGMA busy_timeout = 0", now;
      EXPECT_EQ(&WriteGateOf(session), &gate) << "one gate per file";
      RunWriteTransaction(session, [&] {
        session << "INSERT INTO Messages (ClientGUID, ClientRecordID, CarrierType, CarrierID) "
                   "VALUES ('{o}', 2, 1, 1)",
            now;
      });
      otherWrote = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(otherWrote);
  });
  other.join();
  EXPECT_TRUE(otherWrote);
  EXPECT_EQ(Count("Messages"), 2);
}

} // namespace
} // namespace voxmit::test
