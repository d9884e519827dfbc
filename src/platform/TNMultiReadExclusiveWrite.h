#pragma once
// Many readers or one writer. The writing thread may take the lock again, for reading or
// writing, without blocking; every Begin pairs with its End.

#include <condition_variable>
#include <mutex>
#include <thread>

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

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int readers_ = 0;
  int writeDepth_ = 0;      // writer's nested Begin (read or write) count
  int waitingWriters_ = 0;  // writers queue ahead of new readers
  std::thread::id writer_;
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
