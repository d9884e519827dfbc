// Producers and consumers on the containers, the way the server's threads use them: events
// waited on without the lock, in slices, and every mutation under the write lock.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "common/BaseContainers.h"

namespace voxmit {
namespace {

constexpr int32_t kSliceMs = 20;
constexpr int kProducers = 4;
constexpr int kConsumers = 3;
// A list's Delete(0) moves every entry after the head, so the list runs fewer jobs than the
// queue to stay within a second or two under the sanitizers.
constexpr int kQueueJobsPerProducer = 4000;
constexpr int kListJobsPerProducer = 1000;

struct TJob {
  int id;
};
using TJobPtr = std::shared_ptr<TJob>;

class TJobQueue : public TNBaseThreadSharedQueue<TJob> {
public:
  TJobQueue() : TNBaseThreadSharedQueue({.HighMark = 50, .LowMark = 10, .NotEmptyEvent = true}) {}
};

class TJobList : public TNBaseThreadSharedList<TJob> {
public:
  TJobList()
      : TNBaseThreadSharedList(
            {.HighMark = 50, .LowMark = 10, .LowMarkEvent = true, .NotEmptyEvent = true}) {}
};

// Takes the head under the write lock; nullptr when another consumer was first.
TJobPtr TakeHead(TJobQueue& queue) {
  TNWriteLock write(queue.Lock());
  return queue.Pop();
}

TJobPtr TakeHead(TJobList& list) {
  TNWriteLock write(list.Lock());
  TJobPtr head = list.Items(0);
  if (head) list.Delete(0);
  return head;
}

// Consumers loop on NotEmpty in slices until every job was taken; returns how often each id
// was seen.
template <class C>
std::vector<int> Consume(C& container, std::vector<std::thread>& producers, int total) {
  std::vector<std::atomic<int>> seen(total);
  std::atomic<int> taken{0};
  std::atomic<int> badIds{0};
  std::vector<std::thread> consumers;
  for (int c = 0; c < kConsumers; ++c)
    consumers.emplace_back([&] {
      while (taken < total) {
        if (container.WaitForNotEmpty(kSliceMs) != wrSignaled) continue;
        while (TJobPtr job = TakeHead(container)) {
          if (job->id < 0 || job->id >= total) ++badIds;
          else ++seen[job->id];
          ++taken;
        }
      }
    });
  for (auto& p : producers) p.join();
  for (auto& c : consumers) c.join();
  EXPECT_EQ(badIds, 0);
  std::vector<int> counts;
  for (auto& s : seen) counts.push_back(s);
  return counts;
}

void ExpectEachIdOnce(const std::vector<int>& counts) {
  int lost = 0, duplicated = 0;
  for (int n : counts) {
    if (n == 0) ++lost;
    if (n > 1) ++duplicated;
  }
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(duplicated, 0);
}

std::vector<std::thread> StartProducers(int perProducer, std::function<void(TJobPtr)> put) {
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([p, perProducer, put] {
      for (int i = 0; i < perProducer; ++i)
        put(std::make_shared<TJob>(TJob{p * perProducer + i}));
    });
  return producers;
}

TEST(ContainersStress, QueueLosesAndDuplicatesNothing) {
  TJobQueue queue;
  auto producers = StartProducers(kQueueJobsPerProducer, [&](TJobPtr job) {
    TNWriteLock write(queue.Lock());
    queue.Push(std::move(job));
  });
  ExpectEachIdOnce(Consume(queue, producers, kProducers * kQueueJobsPerProducer));
  EXPECT_EQ(queue.Count(), 0);
  EXPECT_EQ(queue.WaitForNotEmpty(0), wrTimeout);
}

TEST(ContainersStress, ListLosesAndDuplicatesNothing) {
  TJobList list;
  auto producers = StartProducers(kListJobsPerProducer, [&](TJobPtr job) {
    TNWriteLock write(list.Lock());
    list.Add(std::move(job));
  });
  ExpectEachIdOnce(Consume(list, producers, kProducers * kListJobsPerProducer));
  EXPECT_EQ(list.Count(), 0);
}

TEST(ContainersStress, LowMarkProducerNeverAddsPastLowMarkPlusOne) {
  TJobList replies;  // as a session's reply list: LowMark 10 with its event
  constexpr int kReplies = 8000;
  std::atomic<int> highest{0};
  std::vector<std::thread> producers;
  // One back-pressure producer (the confirmation thread) among the consumers.
  producers.emplace_back([&] {
    for (int i = 0; i < kReplies; ++i) {
      while (replies.WaitForLowMark(kSliceMs) != wrSignaled) {
      }
      TNWriteLock write(replies.Lock());
      replies.Add(std::make_shared<TJob>(TJob{i}));
      if (replies.Count() > highest) highest = replies.Count();
    }
  });
  ExpectEachIdOnce(Consume(replies, producers, kReplies));
  EXPECT_LE(highest, replies.LowMark() + 1);
  EXPECT_GE(highest, 1);
}

} // namespace
} // namespace voxmit
