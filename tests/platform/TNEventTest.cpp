#include "platform/TNEvent.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <barrier>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/WaitUntil.h"
#include "ThreadState.h"

namespace voxmit {
namespace {

using test::CurrentThreadId;
using test::IsAsleep;
using test::WaitUntil;

// Starts `body` on a thread once `tid` sleeps (in the wait under test).
std::thread WhenAsleep(pid_t tid, std::function<void()> body) {
  return std::thread([tid, body = std::move(body)] {
    WaitUntil([tid] { return IsAsleep(tid); });
    body();
  });
}

TEST(TNEvent, ManualResetReleasesEveryWaiterAndStaysSet) {
  TNEvent event;
  constexpr int kWaiters = 8;
  std::atomic<int> signaled{0};
  std::vector<std::atomic<pid_t>> tids(kWaiters);
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i)
    waiters.emplace_back([&, i] {
      tids[i] = CurrentThreadId();
      if (event.Wait(10000) == wrSignaled) ++signaled;
    });
  // Set only once every waiter sleeps in its wait.
  EXPECT_TRUE(WaitUntil([&] {
    for (auto& tid : tids)
      if (tid == 0 || !IsAsleep(tid)) return false;
    return true;
  }));
  event.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(signaled, kWaiters);
  EXPECT_TRUE(event.IsSet());
  EXPECT_EQ(event.Wait(0), wrSignaled);

  event.Reset();
  EXPECT_FALSE(event.IsSet());
  EXPECT_EQ(event.Wait(20), wrTimeout);
}

TEST(TNEvent, InitialStateAndRepeatedSetIsOneState) {
  TNEvent set(true);
  EXPECT_TRUE(set.IsSet());
  TNEvent unset;
  EXPECT_FALSE(unset.IsSet());

  // Setting twice is not counted: one take clears it.
  unset.Set();
  unset.Set();
  EXPECT_TRUE(unset.TryTake());
  EXPECT_FALSE(unset.IsSet());
  EXPECT_FALSE(unset.TryTake());
}

TEST(TNEvent, ResetOfUnsetEventAndPollableDescriptor) {
  TNEvent event;
  event.Reset();  // must not block on the non-blocking descriptor
  EXPECT_FALSE(event.IsSet());
  EXPECT_GE(event.Fd(), 0);
}

TEST(TNEvent, TryTakeRaceHasExactlyOneWinnerPerSet) {
  constexpr int kThreads = 6;
  constexpr int kRounds = 300;
  TNEvent event;
  std::atomic<int> winners{0};
  std::atomic<int> roundsWithOtherThanOneWinner{0};
  // Each round: the completion step checks the winners of the round that just ended and sets
  // the event for the next; then every thread races for it at once.
  std::barrier sync(kThreads, [&]() noexcept {
    if (winners.exchange(0) != 1) ++roundsWithOtherThanOneWinner;
    event.Set();
  });
  winners = 1;  // the step before round 0 counts as a good round
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int r = 0; r < kRounds; ++r) {
        sync.arrive_and_wait();
        if (event.TryTake()) ++winners;
      }
      sync.arrive_and_wait();
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(roundsWithOtherThanOneWinner, 0);
}

TEST(TNEvent, WaitAndTakeHandsEachSetToOneWaiter) {
  constexpr int kThreads = 4;
  constexpr int kSets = 200;
  TNEvent event;
  std::atomic<int> taken{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> takers;
  for (int t = 0; t < kThreads; ++t)
    takers.emplace_back([&] {
      while (!stop)
        if (event.WaitAndTake(20) == wrSignaled) ++taken;
    });
  for (int i = 0; i < kSets; ++i) {
    event.Set();
    ASSERT_TRUE(WaitUntil([&] { return taken == i + 1; })) << "set " << i;
  }
  stop = true;
  for (auto& t : takers) t.join();
  EXPECT_EQ(taken, kSets);
  EXPECT_FALSE(event.IsSet());
}

TEST(TNEvent, WaitAndTakeTimesOutWithoutTakingAndWakesOnLateSet) {
  TNEvent event;
  EXPECT_EQ(event.WaitAndTake(20), wrTimeout);

  auto setter = WhenAsleep(CurrentThreadId(), [&] { event.Set(); });
  EXPECT_EQ(event.WaitAndTake(10000), wrSignaled);
  setter.join();
  EXPECT_FALSE(event.IsSet());
}

// Signals without SA_RESTART interrupt poll with EINTR; the wait must go on.
class TNEventInterrupted : public ::testing::Test {
protected:
  static void OnSignal(int) {}
  void SetUp() override {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous_), 0);
  }
  void TearDown() override { sigaction(SIGUSR1, &previous_, nullptr); }

  // Interrupts the calling thread with SIGUSR1 whenever it sleeps, until stop is set.
  std::thread Interrupter(std::atomic<bool>& stop, std::atomic<int>& interrupts) {
    const pthread_t target = pthread_self();
    const pid_t tid = CurrentThreadId();
    return std::thread([target, tid, &stop, &interrupts] {
      while (!stop) {
        if (IsAsleep(tid)) {
          pthread_kill(target, SIGUSR1);
          ++interrupts;
        }
        std::this_thread::yield();
      }
    });
  }

  struct sigaction previous_ {};
};

TEST_F(TNEventInterrupted, WaitRestartsAndStillTimesOut) {
  TNEvent event;
  std::atomic<bool> stop{false};
  std::atomic<int> interrupts{0};
  auto interrupter = Interrupter(stop, interrupts);
  const TWaitResult timedOut = event.Wait(100);
  const int32_t timedOutAny = [&] {
    const TNEvent* one[] = {&event};
    return WaitForAny(one, 100);
  }();
  stop = true;
  interrupter.join();
  EXPECT_GT(interrupts, 0);
  EXPECT_EQ(timedOut, wrTimeout);
  EXPECT_EQ(timedOutAny, kWaitTimeout);
}

TEST_F(TNEventInterrupted, WaitRestartsAndSeesTheSet) {
  TNEvent event;
  std::atomic<bool> stop{false};
  std::atomic<int> interrupts{0};
  auto interrupter = Interrupter(stop, interrupts);
  std::thread setter([&] {
    WaitUntil([&] { return interrupts >= 10; });
    event.Set();
  });
  const TWaitResult result = event.WaitAndTake(10000);
  stop = true;
  interrupter.join();
  setter.join();
  EXPECT_EQ(result, wrSignaled);
}

struct TAnyCase {
  const char* name;
  int count;
  std::vector<int> set;
  int32_t expected;
};

class WaitForAnyCases : public ::testing::TestWithParam<TAnyCase> {};

TEST_P(WaitForAnyCases, ReturnsLowestSetIndexWithoutResetting) {
  const auto& c = GetParam();
  std::vector<std::unique_ptr<TNEvent>> events;
  std::vector<const TNEvent*> handles;
  for (int i = 0; i < c.count; ++i) {
    events.push_back(std::make_unique<TNEvent>());
    handles.push_back(events.back().get());
  }
  for (int i : c.set) events[i]->Set();
  EXPECT_EQ(WaitForAny(handles, 10), c.expected);
  for (int i : c.set) EXPECT_TRUE(events[i]->IsSet()) << "index " << i;
}

INSTANTIATE_TEST_SUITE_P(
    TNEvent, WaitForAnyCases,
    ::testing::Values(TAnyCase{"none_set_times_out", 5, {}, kWaitTimeout},
                      TAnyCase{"only_one", 5, {3}, 3},
                      TAnyCase{"lowest_of_several", 8, {5, 2, 7}, 2},
                      TAnyCase{"first", 3, {0, 1, 2}, 0},
                      TAnyCase{"last_of_sixty_four", 64, {63}, 63},
                      TAnyCase{"lowest_of_sixty_four", 64, {40, 63, 17}, 17},
                      TAnyCase{"no_events_finite_timeout", 0, {}, kWaitTimeout}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TNEvent, WaitForAnySkipsMissingEventsAndWakesOnLateSet) {
  TNEvent a, b;
  const TNEvent* handles[] = {nullptr, &a, nullptr, &b};
  auto setter = WhenAsleep(CurrentThreadId(), [&] { b.Set(); });
  EXPECT_EQ(WaitForAny(handles, 10000), 3);
  setter.join();
}

TEST(TNEvent, WaitForAnyRejectsTooManyOrForeverOnNothing) {
  std::vector<std::unique_ptr<TNEvent>> events;
  std::vector<const TNEvent*> handles;
  for (int i = 0; i < kMaxWaitObjects + 1; ++i) {
    events.push_back(std::make_unique<TNEvent>(true));
    handles.push_back(events.back().get());
  }
  EXPECT_THROW(WaitForAny(handles, 0), std::invalid_argument);
  EXPECT_THROW(WaitForAny(std::span<const TNEvent* const>(), -1), std::invalid_argument);
}

} // namespace
} // namespace voxmit
