#include "common/MessageCounters.h"

namespace voxmit {

uint64_t TMessageCounters::TSnapshot::Failed() const {
  uint64_t failed = 0;
  for (int code = 1; code < kCodes; ++code) failed += Finished[code];
  return failed;
}

TMessageCounters& TMessageCounters::Instance() {
  static TMessageCounters counters;
  return counters;
}

void TMessageCounters::CountFinished(int32_t errorCode) {
  const int index = errorCode >= 0 && errorCode < kCodes ? errorCode : kCodes - 1;
  finished_[index].fetch_add(1, std::memory_order_relaxed);
}

TMessageCounters::TSnapshot TMessageCounters::Snapshot() const {
  TSnapshot s;
  s.Stored = stored_.load(std::memory_order_relaxed);
  for (int code = 0; code < kCodes; ++code)
    s.Finished[code] = finished_[code].load(std::memory_order_relaxed);
  return s;
}

} // namespace voxmit
