// The input queue's fair order and per-session counts: a client that floods the queue never
// stands in front of another client's next message by more than one entry, and each session
// can tell how many of the entries are its own.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clients/TcpMessages.h"
#include "common/BaseContainers.h"

namespace voxmit::test {
namespace {

// A step of a case: a push of record id by owner 'A'..'Z' ('@': no owner), or a pop ('-')
// whose record ID is appended to what came out.
struct TStep {
  char Owner;
  int Id = 0;
};

struct TOrderCase {
  const char* Name;
  std::vector<TStep> Steps;
  std::vector<int> Out;  // the record IDs popped, the queue drained at the end
};

const void* OwnerKey(char owner) {
  static const char keys[26] = {};
  return owner == '@' ? nullptr : &keys[owner - 'A'];
}

std::vector<int> PopOrder(const std::vector<TStep>& steps) {
  TInputMessageQueue queue;
  std::vector<int> out;
  for (const TStep& s : steps) {
    if (s.Owner == '-') {
      if (auto item = queue.Pop()) out.push_back(item->RecordID());
    } else {
      queue.Push(std::make_shared<TServerInputMessage>(s.Id), OwnerKey(s.Owner));
    }
  }
  while (auto item = queue.Pop()) out.push_back(item->RecordID());
  return out;
}

class InputQueueOrder : public ::testing::TestWithParam<TOrderCase> {};

TEST_P(InputQueueOrder, ServesOwnersInTurnAndEachOwnerInItsOrder) {
  EXPECT_EQ(PopOrder(GetParam().Steps), GetParam().Out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InputQueueOrder,
    ::testing::Values(
        TOrderCase{"OneOwnerIsFirstInFirstOut",
                   {{'A', 1}, {'A', 2}, {'A', 3}, {'-'}, {'A', 4}},
                   {1, 2, 3, 4}},
        // The flooder's backlog does not hold up the next client's message.
        TOrderCase{"LateOwnerGoesBehindOneEntryOfTheFlooder",
                   {{'A', 1}, {'A', 2}, {'A', 3}, {'A', 4}, {'A', 5}, {'B', 10}},
                   {1, 10, 2, 3, 4, 5}},
        TOrderCase{"LateOwnerAfterSomeWereServed",
                   {{'A', 1}, {'A', 2}, {'A', 3}, {'A', 4}, {'A', 5}, {'-'}, {'-'}, {'B', 10}},
                   {1, 2, 3, 10, 4, 5}},
        TOrderCase{"TwoBacklogsAlternate",
                   {{'A', 1}, {'A', 2}, {'A', 3}, {'B', 11}, {'B', 12}, {'B', 13}},
                   {1, 11, 2, 12, 3, 13}},
        TOrderCase{"ThreeOwnersInTurn",
                   {{'A', 1}, {'A', 2}, {'B', 11}, {'B', 12}, {'C', 21}, {'C', 22}},
                   {1, 11, 21, 2, 12, 22}},
        // An owner whose entries were all served starts again from where serving stands,
        // not from its old place (it would jump the queue) or far behind.
        TOrderCase{"ReturningOwnerStartsFromTheServedPlace",
                   {{'A', 1}, {'-'}, {'B', 11}, {'B', 12}, {'B', 13}, {'-'}, {'A', 2}},
                   {1, 11, 12, 2, 13}},
        // Entries without an owner are one more owner.
        TOrderCase{"EntriesWithoutOwnerShareOneTurn",
                   {{'A', 1}, {'A', 2}, {'@', 0}},
                   {1, 0, 2}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(InputQueue, CountsEachOwnersEntriesAndSharesTheTotal) {
  TInputMessageQueue queue;
  const void* a = OwnerKey('A');
  const void* b = OwnerKey('B');
  EXPECT_EQ(queue.Share(a), TInputMessageQueue::kTotalShare);
  for (int i = 0; i < 5; ++i) queue.Push(std::make_shared<TServerInputMessage>(i), a);
  EXPECT_EQ(queue.CountOf(a), 5);
  EXPECT_EQ(queue.CountOf(b), 0);
  // The flooder alone has the whole; once another owner asks, each has half.
  EXPECT_EQ(queue.Share(a), TInputMessageQueue::kTotalShare);
  EXPECT_EQ(queue.Share(b), TInputMessageQueue::kTotalShare / 2);
  queue.Push(std::make_shared<TServerInputMessage>(9), b);
  EXPECT_EQ(queue.Share(a), TInputMessageQueue::kTotalShare / 2);
  EXPECT_EQ(queue.CountOf(b), 1);
  queue.Pop();
  queue.Pop();  // a's first, then b's
  EXPECT_EQ(queue.CountOf(a), 4);
  EXPECT_EQ(queue.CountOf(b), 0);
  EXPECT_EQ(queue.Count(), 4);
  queue.Clear();
  EXPECT_EQ(queue.CountOf(a), 0);

  // However many owners, each keeps the least share.
  std::vector<char> many(500);
  for (char& owner : many) queue.Push(std::make_shared<TServerInputMessage>(0), &owner);
  EXPECT_EQ(queue.Share(&many[0]), TInputMessageQueue::kMinShare);
}

} // namespace
} // namespace voxmit::test
