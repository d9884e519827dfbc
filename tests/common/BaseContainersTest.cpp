#include "common/BaseContainers.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/WaitUntil.h"

namespace voxmit {
namespace {

struct TTestItem {
  int id;
};
using TItemPtr = std::shared_ptr<TTestItem>;

TItemPtr Item(int id) { return std::make_shared<TTestItem>(TTestItem{id}); }

// What one event shows: missing (created without it), reset or set.
enum class EV { none, off, on };

struct TStates {
  EV empty, notEmpty, low, high;
  bool operator==(const TStates&) const = default;
};

std::ostream& operator<<(std::ostream& out, EV e) {
  return out << (e == EV::none ? "none" : e == EV::off ? "off" : "on");
}
std::ostream& operator<<(std::ostream& out, const TStates& s) {
  return out << "{Empty " << s.empty << ", NotEmpty " << s.notEmpty << ", LowMark " << s.low
             << ", HighMark " << s.high << "}";
}

EV StateOf(const TNWaitableObject& c, TNState kind) {
  const TNEvent* e = c.Event(kind);
  if (!e) return EV::none;
  return e->IsSet() ? EV::on : EV::off;
}

TStates States(const TNWaitableObject& c) {
  return {StateOf(c, stEmpty), StateOf(c, stNotEmpty), StateOf(c, stLowMark),
          StateOf(c, stHighMark)};
}

// Every event present, as the table cases need.
class TTestList : public TNBaseThreadSharedList<TTestItem> {
public:
  TTestList(int32_t highMark = 50, int32_t lowMark = 10)
      : TNBaseThreadSharedList({.HighMark = highMark,
                                .HighMarkEvent = true,
                                .LowMark = lowMark,
                                .LowMarkEvent = true,
                                .EmptyEvent = true,
                                .NotEmptyEvent = true}) {}
};

class TTestQueue : public TNBaseThreadSharedQueue<TTestItem> {
public:
  TTestQueue(int32_t highMark = 50, int32_t lowMark = 10)
      : TNBaseThreadSharedQueue({.HighMark = highMark,
                                 .HighMarkEvent = true,
                                 .LowMark = lowMark,
                                 .LowMarkEvent = true,
                                 .EmptyEvent = true,
                                 .NotEmptyEvent = true}) {}
};

// --- The server's containers are built with their fixed settings ---------------------------

struct TServerContainerCase {
  const char* name;
  std::shared_ptr<TNWaitableObject> (*make)();
  int32_t highMark;
  int32_t lowMark;
  TStates fresh;  // which events exist, and their state when new
};

template <class C>
std::shared_ptr<TNWaitableObject> Make() {
  return std::make_shared<C>();
}
template <int32_t Capacity, bool WithEmptyEvent>
std::shared_ptr<TNWaitableObject> MakeFiFo() {
  return std::make_shared<TNChannelFiFo>(Capacity, WithEmptyEvent);
}

class ServerContainers : public ::testing::TestWithParam<TServerContainerCase> {};

TEST_P(ServerContainers, StartEmptyWithTheirEventsAndMarks) {
  const auto& c = GetParam();
  const auto container = c.make();
  EXPECT_EQ(container->HighMark(), c.highMark);
  EXPECT_EQ(container->LowMark(), c.lowMark);
  EXPECT_EQ(States(*container), c.fresh);

  const TWaitResult notEmpty = container->WaitForNotEmpty(10);
  EXPECT_EQ(notEmpty, c.fresh.notEmpty == EV::none ? wrError : wrTimeout);
  // Waiting on a missing event fails at once instead of blocking.
  if (c.fresh.empty == EV::none) {
    EXPECT_EQ(container->WaitForEmpty(-1), wrError);
  }
  if (c.fresh.low == EV::none) {
    EXPECT_EQ(container->WaitForLowMark(-1), wrError);
  }
  if (c.fresh.high == EV::none) {
    EXPECT_EQ(container->WaitForHighMark(-1), wrError);
  }
}

INSTANTIATE_TEST_SUITE_P(
    BaseContainers, ServerContainers,
    ::testing::Values(
        TServerContainerCase{"carriers", Make<TCarriersList>, 50, 10,
                             {EV::none, EV::off, EV::none, EV::none}},
        TServerContainerCase{"clients", Make<TClientsList>, 50, 10,
                             {EV::none, EV::none, EV::none, EV::none}},
        TServerContainerCase{"replies", Make<TReplyMessageList>, 50, 10,
                             {EV::none, EV::off, EV::on, EV::none}},
        TServerContainerCase{"input", Make<TInputMessageQueue>, 50, 10,
                             {EV::none, EV::off, EV::none, EV::none}},
        TServerContainerCase{"channels", Make<TNChannelsList>, 50, 10,
                             {EV::on, EV::off, EV::none, EV::none}},
        TServerContainerCase{"channel_in", MakeFiFo<27, false>, 27, 0,
                             {EV::none, EV::off, EV::none, EV::off}},
        TServerContainerCase{"channel_out", MakeFiFo<5, true>, 5, 0,
                             {EV::on, EV::off, EV::none, EV::off}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Event rules after a sequence of adds, removes and a clear --------------------------------

struct TRuleCase {
  const char* name;
  int32_t highMark;
  int32_t lowMark;
  int adds;
  int removes;  // from the head, after the adds
  bool clear;   // after the removes
  TStates expected;
};

const TStates kEmpty{EV::on, EV::off, EV::on, EV::off};

class EventRules : public ::testing::TestWithParam<TRuleCase> {};

TEST_P(EventRules, ListFollowsTheRules) {
  const auto& c = GetParam();
  TTestList list(c.highMark, c.lowMark);
  for (int i = 0; i < c.adds; ++i) list.Add(Item(i));
  for (int i = 0; i < c.removes; ++i) list.Delete(0);
  if (c.clear) list.Clear();
  EXPECT_EQ(States(list), c.expected);
}

TEST_P(EventRules, QueueFollowsTheRules) {
  const auto& c = GetParam();
  TTestQueue queue(c.highMark, c.lowMark);
  for (int i = 0; i < c.adds; ++i) queue.Push(Item(i));
  for (int i = 0; i < c.removes; ++i) ASSERT_NE(queue.Pop(), nullptr);
  if (c.clear) queue.Clear();
  EXPECT_EQ(States(queue), c.expected);
}

// Columns: HighMark, LowMark, adds, removes, clear, then Empty, NotEmpty, LowMark, HighMark.
INSTANTIATE_TEST_SUITE_P(
    BaseContainers, EventRules,
    ::testing::Values(
        TRuleCase{"new", 50, 10, 0, 0, false, kEmpty},
        TRuleCase{"one_added", 50, 10, 1, 0, false, {EV::off, EV::on, EV::on, EV::off}},
        TRuleCase{"added_then_removed", 50, 10, 1, 1, false, kEmpty},
        TRuleCase{"at_low_mark", 50, 10, 10, 0, false, {EV::off, EV::on, EV::on, EV::off}},
        TRuleCase{"past_low_mark", 50, 10, 11, 0, false, {EV::off, EV::on, EV::off, EV::off}},
        TRuleCase{"back_to_low_mark", 50, 10, 11, 1, false, {EV::off, EV::on, EV::on, EV::off}},
        TRuleCase{"below_high_mark", 27, 0, 26, 0, false, {EV::off, EV::on, EV::off, EV::off}},
        TRuleCase{"at_high_mark", 27, 0, 27, 0, false, {EV::off, EV::on, EV::off, EV::on}},
        TRuleCase{"past_high_mark", 27, 0, 30, 0, false, {EV::off, EV::on, EV::off, EV::on}},
        TRuleCase{"first_remove_below_high", 27, 0, 27, 1, false, {EV::off, EV::on, EV::off, EV::off}},
        TRuleCase{"still_at_high_after_remove", 27, 0, 29, 2, false, {EV::off, EV::on, EV::off, EV::on}},
        TRuleCase{"drained_to_zero_low_mark", 27, 0, 3, 3, false, kEmpty},
        TRuleCase{"cleared_from_high", 27, 10, 30, 0, true, kEmpty},
        TRuleCase{"cleared_when_empty", 50, 10, 0, 0, true, kEmpty}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Operations ------------------------------------------------------------------------------

TEST(TNBaseThreadSharedList, AddInsertRemoveAndItemsKeepOrderAndIndexes) {
  TTestList list;
  EXPECT_EQ(list.Add(Item(1)), 0);
  EXPECT_EQ(list.Add(Item(2)), 1);
  list.Insert(0, Item(0));       // at the head
  list.Insert(3, Item(3));       // at the end
  list.Insert(-5, Item(-1));     // before the head: clamped
  list.Insert(99, Item(4));      // past the end: appended
  std::vector<int> ids;
  for (int i = 0; i < list.Count(); ++i) ids.push_back(list.Items(i)->id);
  EXPECT_EQ(ids, (std::vector<int>{-1, 0, 1, 2, 3, 4}));

  for (int index : {-1, list.Count(), list.Count() + 5}) EXPECT_EQ(list.Items(index), nullptr);

  auto dup = Item(7);
  list.Add(dup);
  list.Add(dup);
  const int first = list.Count() - 2;
  EXPECT_EQ(list.Remove(dup.get()), first);  // the first entry only
  EXPECT_EQ(list.Items(first), dup);
  TTestItem stranger{8};
  EXPECT_EQ(list.Remove(&stranger), -1);

  const int count = list.Count();
  list.Delete(-1);
  list.Delete(count);
  EXPECT_EQ(list.Count(), count);
}

TEST(TNBaseThreadSharedList, RemovingTheLastEntryByObjectSetsEmpty) {
  TTestList list;
  auto only = Item(1);
  list.Add(only);
  EXPECT_EQ(list.Remove(only.get()), 0);
  EXPECT_EQ(States(list), kEmpty);
  EXPECT_EQ(list.WaitForEmpty(0), wrSignaled);
  EXPECT_EQ(list.WaitForNotEmpty(10), wrTimeout);
}

TEST(TNBaseThreadSharedQueue, FirstInFirstOutAndPeekLeavesTheHead) {
  TTestQueue queue;
  for (int i = 0; i < 5; ++i) queue.Push(Item(i));
  EXPECT_EQ(queue.Peek()->id, 0);
  EXPECT_EQ(queue.Count(), 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(queue.Pop()->id, i);
  EXPECT_EQ(queue.Peek(), nullptr);
}

TEST(TNBaseThreadSharedQueue, PopOnEmptyReturnsNothingAndChangesNoEvent) {
  TTestQueue queue;
  const TStates fresh = States(queue);
  EXPECT_EQ(queue.Pop(), nullptr);
  EXPECT_EQ(States(queue), fresh);

  // Also from a state no rule would produce: Pop must not "repair" it.
  queue.ResetStates();
  EXPECT_EQ(queue.Pop(), nullptr);
  EXPECT_EQ(States(queue), (TStates{EV::off, EV::off, EV::off, EV::off}));
}

TEST(TNBaseThreadSharedList, ClearAndDestructionDropOnlyTheirReferences) {
  auto kept = Item(1);
  std::weak_ptr<TTestItem> dropped;
  {
    TTestList list;
    list.Add(kept);
    auto temporary = Item(2);
    dropped = temporary;
    list.Add(std::move(temporary));
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(kept->id, 1);  // a list that does not own its objects leaves them alive
    EXPECT_TRUE(dropped.expired());

    list.Add(kept);
    EXPECT_EQ(kept.use_count(), 2);
  }
  EXPECT_EQ(kept.use_count(), 1);  // destroying the list released its reference
}

TEST(TNWaitableObject, ResetStatesLetsTheNextAddWakeTheWaiter) {
  TTestList list;
  list.Add(Item(1));
  list.ResetStates();
  EXPECT_EQ(States(list), (TStates{EV::off, EV::off, EV::off, EV::off}));
  EXPECT_EQ(list.WaitForNotEmpty(10), wrTimeout);

  std::thread producer([&] {
    TNWriteLock write(list.Lock());
    list.Add(Item(2));
  });
  EXPECT_EQ(list.WaitForNotEmpty(10000), wrSignaled);
  producer.join();
}

TEST(TNWaitableObject, StateOperationsPairEmptyAndNotEmpty) {
  TTestList list;
  list.SetState(stNotEmpty);
  EXPECT_EQ(States(list), (TStates{EV::off, EV::on, EV::on, EV::off}));
  list.SetState(stHighMark);
  list.SetState(stEmpty);
  EXPECT_EQ(States(list), (TStates{EV::on, EV::off, EV::on, EV::on}));
  list.ResetState(stLowMark);
  list.ResetState(stHighMark);
  EXPECT_EQ(States(list), (TStates{EV::on, EV::off, EV::off, EV::off}));

  // Operations on events a container lacks are ignored.
  TClientsList clients;
  clients.SetState(stNotEmpty);
  clients.ResetState(stEmpty);
  clients.ResetStates();
  EXPECT_EQ(States(clients), (TStates{EV::none, EV::none, EV::none, EV::none}));
}

TEST(TNChannelFiFo, NotEmptyEventsOfSeveralQueuesAreWaitedOnTogether) {
  TNChannelFiFo a(10, true), b(10, true), c(10, true);
  const TNEvent* handles[] = {a.Event(stNotEmpty), b.Event(stNotEmpty), c.Event(stNotEmpty)};
  EXPECT_EQ(WaitForAny(handles, 10), kWaitTimeout);

  std::thread producer([&] {
    TNWriteLock write(c.Lock());
    c.Push(nullptr);
  });
  EXPECT_EQ(WaitForAny(handles, 10000), 2);
  producer.join();
  b.Push(nullptr);
  EXPECT_EQ(WaitForAny(handles, 0), 1);
  EXPECT_EQ(a.WaitForHighMark(0), wrTimeout);  // "can take more" poll
}

} // namespace
} // namespace voxmit
