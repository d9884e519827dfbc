#include "platform/TNMultiReadExclusiveWrite.h"

#include <stdexcept>

namespace voxmit {

void TNMultiReadExclusiveWrite::BeginRead() {
  const auto me = std::this_thread::get_id();
  std::unique_lock lock(mutex_);
  if (writeDepth_ > 0 && writer_ == me) {
    ++writeDepth_;
    return;
  }
  const bool reentry = readHolds_.count(me) > 0;
  changed_.wait(lock, [&] { return writeDepth_ == 0 && (reentry || waitingWriters_ == 0); });
  ++readers_;
  ++readHolds_[me];
}

void TNMultiReadExclusiveWrite::EndRead() {
  const auto me = std::this_thread::get_id();
  std::lock_guard lock(mutex_);
  if (writeDepth_ > 0 && writer_ == me) {
    if (--writeDepth_ == 0) {
      writer_ = std::thread::id();
      changed_.notify_all();
    }
    return;
  }
  const auto hold = readHolds_.find(me);
  if (hold == readHolds_.end()) throw std::logic_error("EndRead without BeginRead");
  if (--hold->second == 0) readHolds_.erase(hold);
  if (--readers_ == 0) changed_.notify_all();
}

void TNMultiReadExclusiveWrite::BeginWrite() {
  const auto me = std::this_thread::get_id();
  std::unique_lock lock(mutex_);
  if (writeDepth_ > 0 && writer_ == me) {
    ++writeDepth_;
    return;
  }
  if (readHolds_.count(me) > 0) throw std::logic_error("BeginWrite while holding a read lock");
  ++waitingWriters_;
  changed_.wait(lock, [&] { return writeDepth_ == 0 && readers_ == 0; });
  --waitingWriters_;
  writer_ = me;
  writeDepth_ = 1;
}

void TNMultiReadExclusiveWrite::EndWrite() {
  std::lock_guard lock(mutex_);
  if (writeDepth_ == 0 || writer_ != std::this_thread::get_id())
    throw std::logic_error("EndWrite without BeginWrite");
  if (--writeDepth_ == 0) {
    writer_ = std::thread::id();
    changed_.notify_all();
  }
}

int TNMultiReadExclusiveWrite::WaitingWriters() const {
  std::lock_guard lock(mutex_);
  return waitingWriters_;
}

} // namespace voxmit
