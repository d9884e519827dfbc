// Per-thread connections, write transactions and the stored time text.

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <Poco/Data/SQLite/Utility.h>

#include "store/DbSessions.h"
#include "store/SqlStatement.h"
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

// A prepared statement run again and again with new values stores exactly what it is given,
// as the rest of the store reads it back, and stays usable after a failed run.
TEST_F(SessionsTest, PreparedStatementStoresWhatItIsGivenRunAfterRun) {
  struct TCase {
    std::string Text;
    int32_t Number;
  };
  const std::vector<TCase> cases = {
      {"plain", 1},
      {"", 0},                                              // empty, not NULL
      {std::string("code page \x80\x9f\xe9\xff", 14), -1},  // not UTF-8: bytes as they are
      {"two\r\nlines\x03", std::numeric_limits<int32_t>::max()},
      {std::string(5000, 'x'), std::numeric_limits<int32_t>::min()},
  };
  TSqlStatement insert(Raw(),
                       "INSERT INTO Messages (ClientGUID, ClientRecordID, CarrierType, CarrierID, "
                       "PagerID, MessageText) VALUES ('{p}', ?, 1, 1, ?, ?)");
  for (const TCase& c : cases)
    EXPECT_EQ(insert.Bind(1, c.Number).Bind(2, c.Text).Bind(3, c.Text).Execute(), 1);

  std::vector<int32_t> numbers;
  std::vector<std::string> pagers, texts;
  Raw() << "SELECT ClientRecordID, PagerID, MessageText FROM Messages ORDER BY ID", into(numbers),
      into(pagers), into(texts), now;
  ASSERT_EQ(numbers.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(numbers[i], cases[i].Number) << "case " << i;
    EXPECT_EQ(pagers[i], cases[i].Text) << "case " << i;
    EXPECT_EQ(texts[i], cases[i].Text) << "case " << i;
  }
  EXPECT_EQ(Count("Messages", "PagerID IS NULL"), 0);

  TSqlStatement pager(Raw(), "SELECT PagerID FROM Messages WHERE ClientRecordID = ?");
  EXPECT_EQ(pager.Bind(1, 0).QueryText(), std::optional<std::string>(""));
  EXPECT_EQ(pager.Bind(1, 12345).QueryText(), std::nullopt) << "no such row";
  Raw() << "UPDATE Messages SET PagerID = NULL WHERE ClientRecordID = 1", now;
  EXPECT_EQ(pager.Bind(1, 1).QueryText(), std::optional<std::string>("")) << "NULL reads as \"\"";

  Raw() << "CREATE TRIGGER RefuseSeven BEFORE INSERT ON Messages WHEN NEW.ClientRecordID = 7 "
           "BEGIN SELECT RAISE(ABORT, 'seven refused'); END",
      now;
  try {
    insert.Bind(1, 7).Bind(2, "p").Bind(3, "t").Execute();
    ADD_FAILURE() << "the refused row was stored";
  } catch (const EStoreError& e) {
    EXPECT_NE(std::string(e.what()).find("seven refused"), std::string::npos) << e.what();
  }
  EXPECT_EQ(insert.Bind(1, 8).Bind(2, "p").Bind(3, "t").Execute(), 1) << "usable again";
  EXPECT_EQ(Count("Messages"), static_cast<int>(cases.size()) + 1);
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
