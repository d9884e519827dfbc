// Several server threads write at once, each on its own connection: no operation may fail
// with "database is locked", and no message may be lost or written twice.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <set>
#include <stdexcept>
#include <thread>

#include <Poco/Data/SQLite/Utility.h>
#include <sqlite3.h>

#include "store/DbSession.h"
#include "support/WaitUntil.h"
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
        RunWriteTransaction(session, [&](auto& session) {
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
          RunWriteTransaction(session, [&](auto& session) {
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

// Returns once the gate holds `queued` waiting jobs.
void WaitUntilQueued(TWriteGate& gate, size_t queued) {
  WaitUntil([&] { return gate.Queued() >= queued; }, std::chrono::seconds(20));
  ASSERT_EQ(gate.Queued(), queued);
}

// A connection that gives up at once on a held lock, so that waiting anywhere but in process
// fails, and counts its commits into commits.
Poco::Data::Session OpenCountingSession(const std::filesystem::path& file,
                                        std::atomic<int>& commits) {
  Poco::Data::Session session = OpenDbSession(file);
  session << "PRAGMA busy_timeout = 0", now;
  session << "PRAGMA foreign_keys = ON", now;
  sqlite3_commit_hook(
      Poco::Data::SQLite::Utility::dbHandle(session),
      [](void* counter) {
        ++*static_cast<std::atomic<int>*>(counter);
        return 0;
      },
      &commits);
  return session;
}

void InsertMessage(Poco::Data::Session& session, const std::string& guid) {
  session << "INSERT INTO Messages (ClientGUID, ClientRecordID, CarrierType, CarrierID) "
             "VALUES (?, 1, 1, 1)",
      bind(guid), now;
}

// Writers that queue while a group is written wait in process and join that group before its
// commit: one transaction, one fsync. A job that throws is undone alone: its owner gets the
// exception, the others' rows commit. A write begun inside a job joins its transaction.
TEST_F(ConcurrencyTest, WaitingWritersCommitTogetherAndAFailingJobIsUndoneAlone) {
  constexpr int kWriters = 4;
  constexpr int kFailing = 2;
  std::atomic<int> commits{0};
  Poco::Data::Session holder = OpenCountingSession(DbFile(), commits);
  Poco::Data::Session nestedConnection = OpenCountingSession(DbFile(), commits);
  TWriteGate& gate = WriteGateOf(holder);
  std::vector<std::exception_ptr> errors(kWriters);
  std::vector<std::thread> writers;

  RunWriteTransaction(holder, [&](auto& session) {
    InsertMessage(session, "{h}");
    for (int t = 0; t < kWriters; ++t) {
      writers.emplace_back([&, t] {
        Poco::Data::Session own = OpenCountingSession(DbFile(), commits);
        EXPECT_EQ(&WriteGateOf(own), &gate) << "one gate per file";
        try {
          RunWriteTransaction(own, [&](auto& session) {
            InsertMessage(session, "{w" + std::to_string(t) + "}");
            if (t == kFailing) throw std::runtime_error("refused");
          });
        } catch (...) {
          errors[t] = std::current_exception();
        }
      });
    }
    WaitUntilQueued(gate, kWriters);
    // Begun inside the job, on another connection of this thread: joins at once.
    RunWriteTransaction(nestedConnection,
                        [&](auto& session) { InsertMessage(session, "{n}"); });
    EXPECT_THROW(RunWriteTransaction(nestedConnection,
                                     [&](auto& session) {
                                       InsertMessage(session, "{x}");
                                       throw std::runtime_error("nested refused");
                                     }),
                 std::runtime_error);
    EXPECT_EQ(Count("Messages"), 0) << "nothing is visible before the commit";
  });
  for (auto& writer : writers) writer.join();

  EXPECT_EQ(commits, 1) << "the writers that queued while the holder's job ran joined it";
  for (int t = 0; t < kWriters; ++t) {
    EXPECT_EQ(errors[t] != nullptr, t == kFailing) << "writer " << t;
    EXPECT_EQ(Count("Messages", "ClientGUID = '{w" + std::to_string(t) + "}'"), t != kFailing)
        << "writer " << t;
  }
  EXPECT_EQ(Count("Messages", "ClientGUID IN ('{h}', '{n}')"), 2);
  EXPECT_EQ(Count("Messages", "ClientGUID = '{x}'"), 0);
}

// A group whose commit fails is written again job by job, so only the job that broke it fails.
TEST_F(ConcurrencyTest, FailedCommitOfAGroupCostsOnlyTheJobThatCausedIt) {
  // A deferred foreign key is checked at COMMIT: the only way a job's fault shows so late.
  Raw() << "CREATE TABLE Parent (ID INTEGER PRIMARY KEY)", now;
  Raw() << "CREATE TABLE Child (ParentID INTEGER REFERENCES Parent (ID) "
           "DEFERRABLE INITIALLY DEFERRED)",
      now;
  std::atomic<int> commits{0};
  Poco::Data::Session holder = OpenCountingSession(DbFile(), commits);
  TWriteGate& gate = WriteGateOf(holder);
  std::exception_ptr orphanError, messageError;
  std::thread orphan, message;
  RunWriteTransaction(holder, [&](auto&) {
    // The writers join this group, whose commit fails; then each job runs alone, this one too.
    if (orphan.joinable()) return;
    orphan = std::thread([&] {
      Poco::Data::Session own = OpenCountingSession(DbFile(), commits);
      try {
        RunWriteTransaction(own, [&](auto& session) {
          session << "INSERT INTO Child (ParentID) VALUES (99)", now;
        });
      } catch (...) {
        orphanError = std::current_exception();
      }
    });
    WaitUntilQueued(gate, 1);
    message = std::thread([&] {
      Poco::Data::Session own = OpenCountingSession(DbFile(), commits);
      try {
        RunWriteTransaction(own, [&](auto& session) { InsertMessage(session, "{m}"); });
      } catch (...) {
        messageError = std::current_exception();
      }
    });
    WaitUntilQueued(gate, 2);
  });
  orphan.join();
  message.join();
  EXPECT_NE(orphanError, nullptr);
  EXPECT_EQ(messageError, nullptr);
  EXPECT_EQ(Count("Child"), 0);
  EXPECT_EQ(Count("Messages", "ClientGUID = '{m}'"), 1);
}

// A posted job does not hold its owner: Post returns while the job waits for the group being
// written, and onDone tells the outcome after the commit, on the thread that wrote it. A job
// that throws is reported through onDone and undone alone.
TEST_F(ConcurrencyTest, PostedJobsJoinTheGroupBeingWrittenAndAreToldAfterItsCommit) {
  std::atomic<int> commits{0};
  Poco::Data::Session holder = OpenCountingSession(DbFile(), commits);
  TWriteGate& gate = WriteGateOf(holder);
  struct TOutcome {
    std::atomic<bool> told{false};
    std::exception_ptr error;
    int committedBefore = -1;
    std::thread::id thread;
  };
  TOutcome good, bad;
  const auto tell = [&commits](TOutcome& outcome) {
    return [&outcome, &commits](std::exception_ptr error) {
      outcome.error = error;
      outcome.committedBefore = commits;
      outcome.thread = std::this_thread::get_id();
      outcome.told = true;
    };
  };
  RunWriteTransaction(holder, [&](auto& session) {
    InsertMessage(session, "{h}");
    std::thread poster([&] {
      Poco::Data::Session own = OpenCountingSession(DbFile(), commits);
      gate.Post(
          own, [](Poco::Data::Session& session) { InsertMessage(session, "{p}"); }, tell(good));
      gate.Post(
          own,
          [](Poco::Data::Session& session) {
            InsertMessage(session, "{x}");
            throw std::runtime_error("refused");
          },
          tell(bad));
    });
    poster.join();  // returned while this group is still open
    EXPECT_EQ(gate.Queued(), 2u);
    EXPECT_FALSE(good.told);
  });
  ASSERT_TRUE(good.told);
  ASSERT_TRUE(bad.told);
  EXPECT_EQ(commits, 1);
  EXPECT_EQ(good.committedBefore, 1) << "told only after the commit";
  EXPECT_EQ(good.error, nullptr);
  EXPECT_NE(bad.error, nullptr);
  EXPECT_EQ(good.thread, std::this_thread::get_id()) << "told by the thread that wrote the group";
  EXPECT_EQ(Count("Messages", "ClientGUID IN ('{h}', '{p}')"), 2);
  EXPECT_EQ(Count("Messages", "ClientGUID = '{x}'"), 0);
}

// No thread waits to lead for a posted job. One posted while nothing is written is written by
// its poster before Post returns; one posted during a commit, when only posted jobs are left,
// is written by the thread that just committed before it returns.
TEST_F(ConcurrencyTest, APostedJobIsWrittenEvenWhenNoThreadWaitsForTheGate) {
  std::atomic<int> commits{0};
  Poco::Data::Session session = OpenCountingSession(DbFile(), commits);
  TWriteGate& gate = WriteGateOf(session);
  bool told = false;
  gate.Post(
      session, [](Poco::Data::Session& session) { InsertMessage(session, "{alone}"); },
      [&](std::exception_ptr error) { told = error == nullptr; });
  EXPECT_TRUE(told);
  EXPECT_EQ(commits, 1);
  EXPECT_EQ(Count("Messages", "ClientGUID = '{alone}'"), 1);

  // Posted from inside the commit (SQLite's commit hook, on the committing thread): too late
  // to join, so the committing thread writes a group of its own after it.
  struct THook {
    TWriteGate* gate;
    Poco::Data::Session* session;
    std::atomic<int>* commits;
    bool posted = false;
    bool told = false;
  } hook{&gate, &session, &commits};
  sqlite3_commit_hook(
      Poco::Data::SQLite::Utility::dbHandle(session),
      [](void* data) {
        auto& h = *static_cast<THook*>(data);
        ++*h.commits;
        if (!h.posted) {
          h.posted = true;
          h.gate->Post(
              *h.session, [](Poco::Data::Session& session) { InsertMessage(session, "{late}"); },
              [&h](std::exception_ptr error) { h.told = error == nullptr; });
        }
        return 0;
      },
      &hook);
  RunWriteTransaction(session, [&](auto& session) { InsertMessage(session, "{first}"); });
  EXPECT_TRUE(hook.told) << "written before Run returned";
  EXPECT_EQ(commits, 3);
  EXPECT_EQ(gate.Queued(), 0u);
  EXPECT_EQ(Count("Messages", "ClientGUID IN ('{first}', '{late}')"), 2);
}

} // namespace
} // namespace voxmit::test
