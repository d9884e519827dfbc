#include "platform/ThreadRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/TNEvent.h"

namespace voxmit {
namespace {

TEST(TNThreadRegistry, WaitAllWaitsForEveryRunningThread) {
  TNThreadRegistry registry;
  TNEvent release;
  std::atomic<int> finished{0};
  constexpr int kThreads = 5;
  for (int i = 0; i < kThreads; ++i)
    registry.Spawn("worker " + std::to_string(i), [&] {
      release.Wait(10000);
      ++finished;
    });
  EXPECT_EQ(registry.Running(), kThreads);
  EXPECT_FALSE(registry.WaitAll(50));

  release.Set();
  EXPECT_TRUE(registry.WaitAll(10000));
  EXPECT_EQ(registry.Running(), 0);
  EXPECT_EQ(finished, kThreads);
  EXPECT_TRUE(registry.WaitAll(0));
}

TEST(TNThreadRegistry, EscapingExceptionIsLoggedAndTheThreadCountedOut) {
  TNThreadRegistry registry;
  testing::internal::CaptureStderr();
  registry.Spawn("reader 7", [] { throw std::runtime_error("connection reset"); });
  registry.Spawn("reader 8", [] { throw 8; });
  const bool ended = registry.WaitAll(10000);
  const std::string logged = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(ended);
  EXPECT_EQ(registry.Running(), 0);
  EXPECT_NE(logged.find("reader 7"), std::string::npos) << logged;
  EXPECT_NE(logged.find("connection reset"), std::string::npos) << logged;
  EXPECT_NE(logged.find("reader 8"), std::string::npos) << logged;
}

// The object a thread serves is released before WaitAll can report the thread gone.
TEST(TNThreadRegistry, ServedObjectDiesBeforeTheThreadIsCountedOut) {
  struct TServed {
    TNEvent& release;
    std::atomic<bool>& destroyed;
    ~TServed() {
      release.Wait(10000);
      destroyed = true;
    }
  };
  TNThreadRegistry registry;
  TNEvent release;
  std::atomic<bool> destroyed{false};
  // Only the thread holds the object: were the test to hold it too, a thread that ran first
  // would leave the last release (and the destructor) to the test.
  registry.Spawn("session", [served = std::make_shared<TServed>(release, destroyed)] {});
  EXPECT_FALSE(registry.WaitAll(100)) << "counted out while its object was still being destroyed";
  release.Set();
  EXPECT_TRUE(registry.WaitAll(10000));
  EXPECT_TRUE(destroyed);
}

TEST(TNThreadRegistry, InstanceIsProcessWide) {
  auto& registry = TNThreadRegistry::Instance();
  EXPECT_EQ(&registry, &TNThreadRegistry::Instance());
  std::atomic<bool> ran{false};
  registry.Spawn("once", [&] { ran = true; });
  EXPECT_TRUE(registry.WaitAll(10000));
  EXPECT_TRUE(ran);
}

} // namespace
} // namespace voxmit
