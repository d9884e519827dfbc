// The thread owner: a stop reaches a waiting body at once, the destructor joins, and stopping
// twice, stopping before a start and starting again are all well defined.

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "platform/TNThread.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;
using voxmit::TNThread;
using voxmit::wrSignaled;
using voxmit::test::WaitUntil;

namespace {

// A wait far longer than any deadline below: a body still in it was not woken.
constexpr int32_t kLongWaitMs = 600000;

TEST(TNThread, TerminateWakesAWaitingBodyAtOnce) {
  TNThread thread;
  std::atomic<bool> woken{false}, sawStop{false};
  thread.Start([&] {
    woken = thread.StopEvent().Wait(kLongWaitMs) == wrSignaled;
    sawStop = thread.StopRequested();
  });
  EXPECT_FALSE(thread.StopRequested());
  thread.Terminate();
  ASSERT_TRUE(WaitUntil([&] { return woken.load(); }, 5s));
  thread.WaitFor();
  EXPECT_TRUE(sawStop);
  EXPECT_FALSE(thread.Started());
}

TEST(TNThread, DestructorStopsAndJoins) {
  std::atomic<bool> finished{false};
  auto owned = std::make_shared<int>(1);
  std::weak_ptr<int> watch = owned;
  {
    TNThread thread;
    thread.Start([&finished, &thread, owned = std::move(owned)] {
      thread.StopEvent().Wait(kLongWaitMs);
      // Still working after the stop: the destructor must wait for this.
      std::this_thread::sleep_for(50ms);
      finished = true;
    });
  }
  EXPECT_TRUE(finished);
  EXPECT_TRUE(watch.expired()) << "the body's captures outlived the owner";
}

TEST(TNThread, TerminateTwiceAndFromTheBodyAndAnotherThreadIsSafe) {
  TNThread thread;
  std::atomic<int> loops{0};
  thread.Start([&] {
    thread.Terminate();  // the body may stop itself
    while (thread.StopEvent().Wait(kLongWaitMs) != wrSignaled) {
    }
    ++loops;
  });
  std::thread other([&] { thread.Terminate(); });
  thread.Terminate();
  thread.Terminate();
  other.join();
  thread.WaitFor();
  thread.WaitFor();  // nothing left to wait for
  thread.Terminate();
  EXPECT_EQ(loops, 1);
}

TEST(TNThread, StartsAgainAfterWaitForWithTheStopCleared) {
  TNThread thread;
  thread.Terminate();  // before any start: does not reach the thread made below
  std::atomic<bool> stoppedAtStart{true};
  std::atomic<bool> running{false};
  thread.Start([&] {
    stoppedAtStart = thread.StopRequested() || thread.StopEvent().IsSet();
    running = true;
    thread.StopEvent().Wait(kLongWaitMs);
  });
  ASSERT_TRUE(WaitUntil([&] { return running.load(); }, 5s));
  EXPECT_FALSE(stoppedAtStart);
  EXPECT_THROW(thread.Start([] {}), std::logic_error);
  thread.Terminate();
  thread.WaitFor();

  std::atomic<bool> second{false};
  thread.Start([&] {
    second = !thread.StopRequested() && thread.StopEvent().Wait(0) != wrSignaled;
  });
  thread.WaitFor();
  EXPECT_TRUE(second);
}

} // namespace
