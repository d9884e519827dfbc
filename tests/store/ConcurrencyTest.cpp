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

} // namespace
} // namespace voxmit::test
