#include "platform/TNMainLoop.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/WaitUntil.h"

namespace voxmit {
namespace {

using test::WaitUntil;

// As in the server's main: the stop signals are blocked before any thread exists, so every
// thread inherits the mask and a process-directed signal stays pending for the signalfd.
const bool kSignalsBlocked = (BlockStopSignals(), true);

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

TEST(TNMainLoop, PostsFromManyThreadsArriveCompleteAndInPerThreadOrder) {
  ASSERT_TRUE(kSignalsBlocked);
  TNMainLoop loop;
  constexpr int kThreads = 6;
  constexpr int kPerThread = 500;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t)
    posters.emplace_back([&loop, t] {
      for (int i = 0; i < kPerThread; ++i)
        loop.Post(0x4C9, t, i, "thread " + std::to_string(t) + " line " + std::to_string(i));
    });

  std::map<intptr_t, intptr_t> nextOf;  // thread -> next expected sequence number
  int received = 0;
  int outOfOrder = 0;
  int wrongText = 0;
  const auto handle = [&](const TNPostedMessage& m) {
    ++received;
    if (m.LParam != nextOf[m.WParam]) ++outOfOrder;
    nextOf[m.WParam] = m.LParam + 1;
    if (m.Code != 0x4C9 ||
        m.Text != "thread " + std::to_string(m.WParam) + " line " + std::to_string(m.LParam))
      ++wrongText;
  };
  EXPECT_TRUE(WaitUntil([&] {
    loop.Drain(handle);
    return received == kThreads * kPerThread;
  }));
  for (auto& t : posters) t.join();
  loop.Drain(handle);

  EXPECT_EQ(received, kThreads * kPerThread);
  EXPECT_EQ(outOfOrder, 0);
  EXPECT_EQ(wrongText, 0);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(nextOf[t], kPerThread) << "thread " << t;
}

TEST(TNMainLoop, MessageCarriesItsOwnCopyOfTheText) {
  TNMainLoop loop;
  {
    std::string line = "first line";
    loop.Post(1, 0, 0, line);
    line.assign("changed after posting");
  }
  std::string seen;
  loop.Drain([&](const TNPostedMessage& m) { seen = m.Text; });
  EXPECT_EQ(seen, "first line");
}

TEST(TNMainLoop, DescriptorIsReadableExactlyWhileMessagesWait) {
  TNMainLoop loop;
  EXPECT_FALSE(Readable(loop.Fd()));
  loop.Post(1);
  loop.Post(2);
  EXPECT_TRUE(Readable(loop.Fd()));
  EXPECT_EQ(loop.Pending(), 2u);

  // A message posted by a handler belongs to the next drain, and keeps the descriptor ready.
  std::vector<uint32_t> codes;
  const auto handle = [&](const TNPostedMessage& m) {
    codes.push_back(m.Code);
    if (m.Code == 2) loop.Post(3);
  };
  EXPECT_EQ(loop.Drain(handle), 2u);
  EXPECT_TRUE(Readable(loop.Fd()));
  EXPECT_EQ(loop.Drain(handle), 1u);
  EXPECT_FALSE(Readable(loop.Fd()));
  EXPECT_EQ(loop.Pending(), 0u);
  EXPECT_EQ(codes, (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(loop.Drain(handle), 0u);
}

// The headless run's reporter: a log write that fails for every line (a full disk) gives one
// warning a second, not one per line, and a different error its own warning.
TEST(TNMainLoop, HeadlessErrorWarningsComeOncePerDistinctError) {
  TNMainLoop loop;
  std::ostringstream err;
  loop.onError = ErrorWarningsTo(err);
  for (uint32_t code = 1; code <= 50; ++code) loop.Post(code);
  loop.Post(99);
  loop.Drain([](const TNPostedMessage& m) {
    if (m.Code == 99) throw std::runtime_error("another failure");
    throw std::runtime_error("I/O error writing LOG0.TXT: No space left on device");
  });
  EXPECT_EQ(err.str(),
            "VoxmitServer2: warning: I/O error writing LOG0.TXT: No space left on device\n"
            "VoxmitServer2: warning: another failure\n");
}

TEST(TNMainLoop, HandlerExceptionIsReportedAndTheDrainGoesOn) {
  TNMainLoop loop;
  std::vector<std::string> errors;
  loop.onError = [&](const std::exception& e) { errors.push_back(e.what()); };
  for (uint32_t code = 1; code <= 4; ++code) loop.Post(code);

  std::vector<uint32_t> handled;
  const size_t count = loop.Drain([&](const TNPostedMessage& m) {
    handled.push_back(m.Code);
    if (m.Code == 2) throw std::runtime_error("bad message 2");
    if (m.Code == 3) throw 42;  // not a std::exception
  });
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(handled, (std::vector<uint32_t>{1, 2, 3, 4}));
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], "bad message 2");

  // Without onError the exception is swallowed, and a throwing onError stops nothing either.
  loop.onError = nullptr;
  loop.Post(5);
  loop.Post(6);
  EXPECT_EQ(loop.Drain([](const TNPostedMessage&) { throw std::runtime_error("x"); }), 2u);
  loop.onError = [](const std::exception&) { throw std::logic_error("reporter fails"); };
  loop.Post(7);
  loop.Post(8);
  handled.clear();
  EXPECT_EQ(loop.Drain([&](const TNPostedMessage& m) {
              handled.push_back(m.Code);
              throw std::runtime_error("y");
            }),
            2u);
  EXPECT_EQ(handled, (std::vector<uint32_t>{7, 8}));
}

// Handlers leave their output buffered and afterDrain writes it once per batch: it runs after
// the last handler of a batch, not after an empty drain, and its failure is reported like a
// handler's without ending the loop.
TEST(TNMainLoop, AfterDrainFollowsEachBatchThatHandledSomething) {
  TNMainLoop loop;
  std::vector<std::string> events;
  std::vector<std::string> errors;
  loop.onError = [&](const std::exception& e) { errors.push_back(e.what()); };
  loop.afterDrain = [&] {
    events.push_back("flush");
    if (events.size() > 3) throw std::runtime_error("disk full");
  };
  const auto handle = [&](const TNPostedMessage& m) {
    events.push_back(std::to_string(m.Code));
    if (m.Code == 2) throw std::runtime_error("bad message 2");
  };
  EXPECT_EQ(loop.Drain(handle), 0u);
  EXPECT_TRUE(events.empty());

  loop.Post(1);
  loop.Post(2);
  EXPECT_EQ(loop.Drain(handle), 2u);
  EXPECT_EQ(events, (std::vector<std::string>{"1", "2", "flush"}));

  loop.Post(3);
  EXPECT_EQ(loop.Drain(handle), 1u);  // afterDrain throws this time
  EXPECT_EQ(errors, (std::vector<std::string>{"bad message 2", "disk full"}));
  loop.Post(4);
  std::thread quitter([&] {
    WaitUntil([&] { return loop.Pending() == 0; });
    loop.Quit();
  });
  loop.Run(handle, nullptr);
  quitter.join();
  EXPECT_EQ(events.back(), "flush");  // Run drains through the same path
  EXPECT_EQ(std::count(events.begin(), events.end(), "4"), 1);
}

TEST(TNMainLoop, RunHandlesPostsAndEndsOnQuitFromAHandler) {
  TNMainLoop loop;
  std::vector<intptr_t> seen;
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) loop.Post(1, i);
    loop.Post(2);  // the last message asks to quit
  });
  loop.Run(
      [&](const TNPostedMessage& m) {
        if (m.Code == 2) loop.Quit();
        else seen.push_back(m.WParam);
      },
      nullptr);
  poster.join();
  EXPECT_TRUE(loop.QuitRequested());
  ASSERT_EQ(seen.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
}

TEST(TNMainLoop, QuitFromAnotherThreadWakesRun) {
  TNMainLoop loop;
  std::atomic<bool> running{false};
  loop.Post(1);
  std::thread quitter([&] {
    WaitUntil([&] { return running.load(); });
    loop.Quit();
  });
  loop.Run([&](const TNPostedMessage&) { running = true; }, nullptr);
  quitter.join();
  EXPECT_TRUE(loop.QuitRequested());
  // Quit is final: a second Run returns at once.
  loop.Run([](const TNPostedMessage&) {}, nullptr);
}

struct TSignalCase {
  const char* name;
  int signalNo;
  bool processDirected;  // kill() rather than raise()
};

class RunSignals : public ::testing::TestWithParam<TSignalCase> {};

TEST_P(RunSignals, StopSignalReachesOnSignalAndQuitEndsRun) {
  const auto& c = GetParam();
  TNMainLoop loop;
  std::vector<int> received;
  loop.Post(1);  // once the loop runs, the handler raises the signal
  loop.Run(
      [&](const TNPostedMessage&) {
        if (c.processDirected) kill(getpid(), c.signalNo);
        else raise(c.signalNo);
      },
      [&](int signalNo) {
        received.push_back(signalNo);
        loop.Quit();
      });
  EXPECT_EQ(received, std::vector<int>{c.signalNo});
}

INSTANTIATE_TEST_SUITE_P(TNMainLoop, RunSignals,
                         ::testing::Values(TSignalCase{"sigterm_raised", SIGTERM, false},
                                           TSignalCase{"sigint_raised", SIGINT, false},
                                           TSignalCase{"sigterm_killed", SIGTERM, true},
                                           TSignalCase{"sigint_killed", SIGINT, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TNMainLoop, SignalRaisedBeforeRunIsNotLost) {
  TNMainLoop loop;
  raise(SIGTERM);  // blocked, so it waits pending for the loop's signalfd
  int received = 0;
  loop.Run([](const TNPostedMessage&) {},
           [&](int signalNo) {
             received = signalNo;
             loop.Quit();
           });
  EXPECT_EQ(received, SIGTERM);
}

TEST(TNMainLoop, FailingSignalHandlerIsReportedAndTheLoopGoesOn) {
  TNMainLoop loop;
  std::vector<std::string> errors;
  loop.onError = [&](const std::exception& e) { errors.push_back(e.what()); };
  loop.Post(1);
  loop.Run(
      [&](const TNPostedMessage& m) {
        if (m.Code == 1) raise(SIGINT);
        if (m.Code == 2) loop.Quit();
      },
      [&](int) {
        loop.Post(2);  // the loop must still be running to see this
        throw std::runtime_error("stop failed");
      });
  EXPECT_EQ(errors, std::vector<std::string>{"stop failed"});
}

TEST(TNMainLoop, InstanceIsOneProcessWideLoop) {
  EXPECT_EQ(&TNMainLoop::Instance(), &TNMainLoop::Instance());
}

} // namespace
} // namespace voxmit
