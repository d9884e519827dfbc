// Claims of send results from many threads at once on a real database: every row is claimed
// by exactly one caller, and a claim the database refuses costs the claims written beside it
// nothing.

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "clients/ResultClaims.h"
#include "store/StoreFixture.h"
#include "store/dmodData.h"

namespace voxmit::test {
namespace {

class ResultClaims : public StoreTest {
protected:
  ResultClaims() : data_(std::make_unique<TDMData>(DbFile())) {}

  std::vector<int32_t> AddResults(int n) {
    std::vector<int32_t> ids;
    for (int i = 0; i < n; ++i) ids.push_back(AddResult("SentMessages", TResultRow{}));
    return ids;
  }

  // Runs body(t) on `threads` threads that start together, each with its own connection.
  template <class Body>
  void OnThreads(int threads, Body body) {
    std::atomic<int> ready{0};
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t)
      running.emplace_back([&, t] {
        ready.fetch_add(1);
        while (ready.load() < threads) std::this_thread::yield();
        body(t);
        data_->ReleaseThreadSession();
      });
    for (auto& th : running) th.join();
  }

  std::unique_ptr<TDMData> data_;
};

TEST_F(ResultClaims, OverlappingClaimsFromManyThreadsClaimEachRowOnce) {
  const std::vector<int32_t> ids = AddResults(300);
  constexpr int kThreads = 8;
  // Every thread claims every row, in its own order and in pieces of 1 to 11.
  std::vector<std::map<int32_t, int>> claimedBy(kThreads);
  OnThreads(kThreads, [&](int t) {
    std::vector<int32_t> order = ids;
    std::shuffle(order.begin(), order.end(), std::mt19937(t));
    for (size_t next = 0; next < order.size();) {
      const size_t count = std::min<size_t>(order.size() - next, 1 + (next + t) % 11);
      const std::vector<int32_t> piece(order.begin() + next, order.begin() + next + count);
      const std::vector<bool> claimed = TResultClaims::Claim(*data_, piece);
      ASSERT_EQ(claimed.size(), piece.size());
      for (size_t i = 0; i < count; ++i)
        if (claimed[i]) ++claimedBy[t][piece[i]];
      next += count;
    }
  });
  std::map<int32_t, int> total;
  for (const auto& mine : claimedBy)
    for (const auto& [id, n] : mine) total[id] += n;
  ASSERT_EQ(total.size(), ids.size());
  for (const auto& [id, n] : total) EXPECT_EQ(n, 1) << "row " << id;
  EXPECT_EQ(Count("SentMessages", "SendConfirmed = 0"), 0);
  // Claiming again finds nothing left.
  EXPECT_EQ(TResultClaims::Claim(*data_, ids), std::vector<bool>(ids.size(), false));
}

TEST_F(ResultClaims, RefusedClaimCostsTheOthersNothing) {
  const std::vector<int32_t> ids = AddResults(40);
  const int32_t refused = ids[5];
  Raw() << "CREATE TRIGGER RefuseOne BEFORE UPDATE OF SendConfirmed ON SentMessages "
           "WHEN OLD.ID = " + std::to_string(refused) +
               " BEGIN SELECT RAISE(ABORT, 'refused'); END",
      now;
  LogCapture log;
  // Eight threads claim five rows each at the same moment; the second holds the refused row.
  constexpr int kThreads = 8;
  std::vector<std::vector<bool>> results(kThreads);
  OnThreads(kThreads, [&](int t) {
    const std::vector<int32_t> piece(ids.begin() + t * 5, ids.begin() + t * 5 + 5);
    results[t] = TResultClaims::Claim(*data_, piece);
  });
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(results[t], std::vector<bool>(5, t != 1)) << "thread " << t;
  // The refused claim is rolled back whole: its other rows stay for the next pass.
  EXPECT_EQ(Count("SentMessages", "SendConfirmed = 0"), 5);
  const auto& lines = log.Lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.find("confirmed failed") != std::string::npos;
  }));
}

} // namespace
} // namespace voxmit::test
