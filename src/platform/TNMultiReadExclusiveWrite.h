#pragma once
// Many readers or one writer. Safe to call from any thread; every Begin pairs with its End on
// the same thread.
//
// Rules:
// - The writing thread may take the lock again, for reading or writing, without blocking; it
//   keeps the lock until its last End (read or write) of the nest.
// - A reader may not upgrade: BeginWrite on a thread that holds a read lock throws
//   std::logic_error (waiting would deadlock against its own read).
// - Writers waiting get priority over new readers, so a stream of readers cannot starve a
//   writer. A thread that already holds a read lock is not a new reader: its further
//   BeginRead goes through even while a writer waits, since that writer waits for this very
//   read to end.
// - An End without its Begin throws std::logic_error.

#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace voxmit {

class TNMultiReadExclusiveWrite {
public:
  TNMultiReadExclusiveWrite() = default;
  TNMultiReadExclusiveWrite(const TNMultiReadExclusiveWrite&) = delete;
  TNMultiReadExclusiveWrite& operator=(const TNMultiReadExclusiveWrite&) = delete;

  void BeginRead();
  void EndRead();
  void BeginWrite();
  void EndWrite();

  // Writers blocked in BeginWrite now (a momentary view, for diagnostics and tests).
  int WaitingWriters() const;

private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int readers_ = 0;
  int writeDepth_ = 0;      // writer's nested Begin (read or write) count
  int waitingWriters_ = 0;  // writers queue ahead of new readers
  std::thread::id writer_;
  std::unordered_map<std::thread::id, int> readHolds_;  // read nest count per reading thread
  // mutex_ guards every field above.
};

class TNReadLock {
public:
  explicit TNReadLock(TNMultiReadExclusiveWrite& lock) : lock_(lock) { lock_.BeginRead(); }
  ~TNReadLock() { lock_.EndRead(); }
  TNReadLock(const TNReadLock&) = delete;
  TNReadLock& operator=(const TNReadLock&) = delete;
private:
  TNMultiReadExclusiveWrite& lock_;
};

class TNWriteLock {
public:
  explicit TNWriteLock(TNMultiReadExclusiveWrite& lock) : lock_(lock) { lock_.BeginWrite(); }
  ~TNWriteLock() { lock_.EndWrite(); }
  TNWriteLock(const TNWriteLock&) = delete;
  TNWriteLock& operator=(const TNWriteLock&) = delete;
private:
  TNMultiReadExclusiveWrite& lock_;
};

} // namespace voxmit
