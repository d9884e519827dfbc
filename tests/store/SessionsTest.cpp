// Per-thread connections, write transactions and the stored time text.

#include <gtest/gtest.h>

#include <limits>

#include <Poco/Data/SQLite/Utility.h>

#include "store/DbSessions.h"
#include "support/WaitUntil.h"
#include "StoreFixture.h"

namespace voxmit::test {
namespace {

using SessionsTest = StoreTest;

sqlite3* Handle(Poco::Data::Session& session) {
  return Poco::Data::SQLite::Utility::dbHandle(session);
}

TEST_F(SessionsTest, EveryThreadHasItsOwnConnectionUntilItEnds) {
  TDbSessions sessions(DbFile());
  sqlite3* mine = Handle(sessions.ForThisThread());
  EXPECT_EQ(Handle(sessions.ForThisThread()), mine) << "a thread keeps its connection";

  sqlite3* theirs = nullptr;
  std::thread other([&] {
    theirs = Handle(sessions.ForThisThread());
    EXPECT_EQ(sessions.OpenCount(), 2u);
  });
  other.join();
  EXPECT_NE(theirs, nullptr);
  EXPECT_NE(theirs, mine);
  EXPECT_EQ(sessions.OpenCount(), 1u) << "the ended thread's connection is closed";

  sessions.ReleaseThisThread();
  EXPECT_EQ(sessions.OpenCount(), 0u);
  sessions.ForThisThread();
  sessions.CloseAll();
  EXPECT_EQ(sessions.OpenCount(), 0u);
}

TEST_F(SessionsTest, AThreadMayOutliveTheSessionsObject) {
  auto sessions = std::make_unique<TDbSessions>(DbFile());
  std::atomic<bool> opened{false}, release{false};
  std::thread worker([&] {
    sessions->ForThisThread();
    opened = true;
    while (!release) std::this_thread::yield();
  });
  ASSERT_TRUE(WaitUntil([&] { return opened.load(); }));
  sessions.reset();  // the worker's thread-exit hook must not touch it afterwards
  release = true;
  worker.join();
}

TEST_F(SessionsTest, MissingFileIsReportedOnFirstUse) {
  TDbSessions sessions(Home().File("other.db"));
  EXPECT_THROW(sessions.ForThisThread(), EDatabaseNotFound);
  EXPECT_FALSE(std::filesystem::exists(Home().File("other.db")));
}

TEST_F(SessionsTest, FailedTransactionLeavesNothingAndTheConnectionUsable) {
  EXPECT_THROW(RunWriteTransaction(Raw(),
                                   [&](auto&) {
                                     AddMessage(TMessageRow{});
                                     throw std::runtime_error("late failure");
                                   }),
               std::runtime_error);
  EXPECT_EQ(Count("Messages"), 0);
  const int written = RunWriteTransaction(Raw(), [&](auto&) { return AddMessage(TMessageRow{}); });
  EXPECT_GT(written, 0);
  EXPECT_EQ(Count("Messages"), 1);
}

TEST_F(SessionsTest, NestedTransactionFailsWithoutUndoingTheOuterOne) {
  Raw() << "BEGIN IMMEDIATE", now;
  AddMessage(TMessageRow{});
  EXPECT_THROW(RunWriteTransaction(Raw(), [&](auto&) { AddMessage(TMessageRow{}); }),
               Poco::Exception);
  Raw() << "COMMIT", now;
  EXPECT_EQ(Count("Messages"), 1);
}

TEST(DbTimeTest, TextSortsAsTimeAndCutoffsAreWholeSeconds) {
  EXPECT_EQ(DbTimeText(Poco::LocalDateTime(2026, 1, 2, 3, 4, 5, 6)), "2026-01-02 03:04:05.006");
  EXPECT_LT(DbTimeText(Poco::LocalDateTime(2026, 9, 30, 23, 59, 59, 999)),
            DbTimeText(Poco::LocalDateTime(2026, 10, 1, 0, 0, 0, 0)));
  const std::string cutoff = DbCutoff(60);
  EXPECT_EQ(cutoff.substr(19), ".000");
  EXPECT_LT(cutoff, DbSecondsAgo(59 * 60));
  EXPECT_GT(cutoff, DbSecondsAgo(61 * 60));
  // An age meant as "never" keeps every row instead of wrapping into a nonsense date.
  EXPECT_EQ(DbCutoff(std::numeric_limits<int32_t>::max()), "0001-01-01 00:00:00.000");
  EXPECT_LE(DbCutoff(-5), DbNow());
  EXPECT_GE(DbCutoff(-5), DbCutoff(0));
}

} // namespace
} // namespace voxmit::test
