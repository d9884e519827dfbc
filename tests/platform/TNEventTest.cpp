#include "platform/TNEvent.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <barrier>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/WaitUntil.h"

namespace voxmit {
namespace {

using test::WaitUntil;

TEST(TNEvent, ManualResetReleasesEveryWaiterAndStaysSet) {
  TNEvent event;
  constexpr int kWaiters = 8;
  std::atomic<int> signaled{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i)
    waiters.emplace_back([&] {
      if (event.Wait(10000) == wrSignaled) ++signaled;
    });
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

  std::thread setter([&] {
    WaitUntil([] { return false; }, std::chrono::milliseconds(30));
    event.Set();
  });
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

  // Interrupts `target` with SIGUSR1 until stop is set.
  std::thread Interrupter(pthread_t target, std::atomic<bool>& stop) {
    return std::thread([target, &stop] {
      while (!stop) {
        pthread_kill(target, SIGUSR1);
        std::this_thread::yield();
      }
    });
  }

  struct sigaction previous_ {};
};

TEST_F(TNEventInterrupted, WaitRestartsAndStillTimesOut) {
  TNEvent event;
  std::atomic<bool> stop{false};
  auto interrupter = Interrupter(pthread_self(), stop);
  const TWaitResult timedOut = event.Wait(100);
  const int32_t timedOutAny = [&] {
    const TNEvent* one[] = {&event};
    return WaitForAny(one, 100);
  }();
  stop = true;
  interrupter.join();
  EXPECT_EQ(timedOut, wrTimeout);
  EXPECT_EQ(timedOutAny, kWaitTimeout);
}

TEST_F(TNEventInterrupted, WaitRestartsAndSeesTheSet) {
  TNEvent event;
  std::atomic<bool> stop{false};
  auto interrupter = Interrupter(pthread_self(), stop);
  std::thread setter([&] {
    WaitUntil([] { return false; }, std::chrono::milliseconds(50));
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
  std::thread setter([&] {
    WaitUntil([] { return false; }, std::chrono::milliseconds(30));
    b.Set();
  });
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
