#pragma once
// Process-wide counts of what happened to messages: stored (accepted from a client) and
// finished (moved to SentMessages) by result code. They feed the server's stop line and the
// status endpoint; nothing steers by them.
//
// Threads: any thread; every count is an atomic, read without a lock (a reader may see one
// count a moment ahead of another).
//
// A finish is counted when its row was written inside the write transaction; a transaction
// that is rolled back afterwards (a failed commit, a retried lock wait) may count its rows
// twice or for nothing. That is rare and only ever skews these figures, never the messages.

#include <array>
#include <atomic>
#include <cstdint>

namespace voxmit {

class TMessageCounters {
public:
  // Result codes 0 to kCodes-1 are counted each; any other code is counted as kCodes-1.
  static constexpr int kCodes = 16;

  struct TSnapshot {
    uint64_t Stored = 0;
    std::array<uint64_t, kCodes> Finished{};
    uint64_t Sent() const { return Finished[0]; }
    uint64_t Failed() const;
  };

  static TMessageCounters& Instance();

  void CountStored(uint64_t n = 1) { stored_.fetch_add(n, std::memory_order_relaxed); }
  void CountFinished(int32_t errorCode);
  TSnapshot Snapshot() const;

private:
  std::atomic<uint64_t> stored_{0};
  std::array<std::atomic<uint64_t>, kCodes> finished_{};
};

} // namespace voxmit
