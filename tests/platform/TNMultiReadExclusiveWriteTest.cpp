#include "platform/TNMultiReadExclusiveWrite.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
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

TEST(TNMultiReadExclusiveWrite, ReadersHoldTheLockTogether) {
  TNMultiReadExclusiveWrite lock;
  constexpr int kReaders = 5;
  std::atomic<int> inside{0};
  std::atomic<int> sawAllInside{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i)
    readers.emplace_back([&] {
      TNReadLock read(lock);
      ++inside;
      // Only possible when every reader holds the lock at the same time.
      if (WaitUntil([&] { return inside == kReaders; })) ++sawAllInside;
    });
  for (auto& t : readers) t.join();
  EXPECT_EQ(sawAllInside, kReaders);
}

TEST(TNMultiReadExclusiveWrite, WriterExcludesReadersAndWritersWithoutLostUpdates) {
  TNMultiReadExclusiveWrite lock;
  constexpr int kWriters = 4;
  constexpr int kReaders = 3;
  constexpr int kIterations = 20000;
  // Plain fields on purpose: the lock alone protects them.
  long counter = 0;
  long mirror = 0;
  std::atomic<int> writersInside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> tornReads{0};
  std::atomic<bool> writersDone{false};

  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w)
    threads.emplace_back([&] {
      for (int i = 0; i < kIterations; ++i) {
        TNWriteLock write(lock);
        if (++writersInside != 1) ++overlaps;
        ++counter;
        mirror = counter;
        --writersInside;
      }
    });
  for (int r = 0; r < kReaders; ++r)
    threads.emplace_back([&] {
      while (!writersDone) {
        TNReadLock read(lock);
        if (writersInside != 0 || mirror != counter) ++tornReads;
      }
    });
  for (int w = 0; w < kWriters; ++w) threads[w].join();
  writersDone = true;
  for (size_t i = kWriters; i < threads.size(); ++i) threads[i].join();

  EXPECT_EQ(counter, long{kWriters} * kIterations);
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(tornReads, 0);
}

TEST(TNMultiReadExclusiveWrite, WriterReentersForReadAndWriteAndKeepsOthersOut) {
  TNMultiReadExclusiveWrite lock;
  lock.BeginWrite();
  lock.BeginRead();
  lock.BeginWrite();

  std::atomic<bool> readerIn{false};
  std::atomic<pid_t> readerTid{0};
  std::thread reader([&] {
    readerTid = CurrentThreadId();
    TNReadLock read(lock);
    readerIn = true;
  });
  lock.EndWrite();
  lock.EndRead();
  // Still held once for writing: the reader sleeps outside.
  ASSERT_TRUE(WaitUntil([&] { return readerTid != 0 && IsAsleep(readerTid); }));
  EXPECT_FALSE(readerIn);
  lock.EndWrite();
  EXPECT_TRUE(WaitUntil([&] { return readerIn.load(); }));
  reader.join();
}

TEST(TNMultiReadExclusiveWrite, WaitingWriterGoesBeforeNewReadersButNotBeforeAHeldRead) {
  TNMultiReadExclusiveWrite lock;
  std::mutex orderMutex;
  std::vector<char> order;
  auto record = [&](char who) {
    std::lock_guard guard(orderMutex);
    order.push_back(who);
  };

  lock.BeginRead();  // this thread: a reader already inside
  std::thread writer([&] {
    TNWriteLock write(lock);
    record('W');
  });
  ASSERT_TRUE(WaitUntil([&] { return lock.WaitingWriters() == 1; }));

  std::atomic<bool> newReaderIn{false};
  std::atomic<pid_t> newReaderTid{0};
  std::thread newReader([&] {
    newReaderTid = CurrentThreadId();
    TNReadLock read(lock);
    newReaderIn = true;
    record('R');
  });
  // The new reader queues behind the waiting writer...
  ASSERT_TRUE(WaitUntil([&] { return newReaderTid != 0 && IsAsleep(newReaderTid); }));
  EXPECT_FALSE(newReaderIn);

  // ...but the thread that holds a read already may read again (the writer waits for it).
  lock.BeginRead();
  lock.EndRead();
  lock.EndRead();

  writer.join();
  newReader.join();
  ASSERT_EQ(order.size(), 2u);
  EXPECT_EQ(order[0], 'W');
  EXPECT_EQ(order[1], 'R');
}

TEST(TNMultiReadExclusiveWrite, MisuseThrowsInsteadOfDeadlocking) {
  TNMultiReadExclusiveWrite lock;
  EXPECT_THROW(lock.EndRead(), std::logic_error);
  EXPECT_THROW(lock.EndWrite(), std::logic_error);

  lock.BeginRead();
  EXPECT_THROW(lock.BeginWrite(), std::logic_error);  // no upgrade
  lock.EndRead();

  // Another thread's write lock cannot be released from here.
  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread owner([&] {
    TNWriteLock write(lock);
    held = true;
    WaitUntil([&] { return release.load(); });
  });
  ASSERT_TRUE(WaitUntil([&] { return held.load(); }));
  EXPECT_THROW(lock.EndWrite(), std::logic_error);
  release = true;
  owner.join();

  // The lock is usable after all of that.
  TNWriteLock write(lock);
}

} // namespace
} // namespace voxmit
