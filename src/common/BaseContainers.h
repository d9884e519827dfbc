#pragma once
// Lists and FIFO queues handed between threads. Each is guarded by a many-readers/one-writer
// lock and signals its fill state through up to four manual-reset events (NotEmpty, Empty,
// LowMark, HighMark) so that consumers sleep until there is work and producers until a
// consumer has drained enough.
//
// Locking: mutators and readers do not lock; the caller holds the container's lock around
// them (write lock for mutators, read or write for readers). The events are waited on without
// the lock. Lock order: clients list, then a session's reply list, then the input queue; an
// iterator's channel list before a channel's queue.
//
// Items are held through std::shared_ptr: the objects cross threads and a container only drops
// its reference, so an object lives while anyone still holds it.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/TNEvent.h"
#include "platform/TNMultiReadExclusiveWrite.h"

namespace voxmit {

enum TNState : int32_t { stEmpty = 0, stNotEmpty = 1, stLowMark = 2, stHighMark = 3 };

// A container's marks and which of the four events it has, given by name:
// {.HighMark = 50, .LowMark = 10, .NotEmptyEvent = true}.
struct TNWaitableOptions {
  int32_t HighMark = 0;
  bool HighMarkEvent = false;
  int32_t LowMark = 0;
  bool LowMarkEvent = false;
  bool EmptyEvent = false;
  bool NotEmptyEvent = false;
};

class TNWaitableObject {
public:
  explicit TNWaitableObject(const TNWaitableOptions& options);
  virtual ~TNWaitableObject();
  TNWaitableObject(const TNWaitableObject&) = delete;
  TNWaitableObject& operator=(const TNWaitableObject&) = delete;

  void SetState(TNState state);
  void ResetState(TNState state);
  // A waiter that copies under the write lock and then resets (the change notification) must
  // call ResetStates before it releases the lock: an Add between the release and the reset
  // would otherwise lose its wake-up.
  void ResetStates();

  TWaitResult WaitForNotEmpty(int32_t timeoutMs) const;
  TWaitResult WaitForEmpty(int32_t timeoutMs) const;
  TWaitResult WaitForLowMark(int32_t timeoutMs) const;
  TWaitResult WaitForHighMark(int32_t timeoutMs) const;

  // Waiting on an event the container was created without returns wrError at once.
  // The event of a state kind, or nullptr when the container was created without it
  // (the iterator waits on several channels' NotEmpty events at once).
  const TNEvent* Event(TNState state) const;

  int32_t LowMark() const { return lowMark_; }
  int32_t HighMark() const { return highMark_; }

protected:
  // Event rules after an item was added, after one was removed, and after a clear.
  void AfterAdd(int32_t count);
  void AfterRemove(int32_t count);
  void AfterClear();

private:
  TWaitResult WaitFor(TNState state, int32_t timeoutMs) const;

  std::unique_ptr<TNEvent> events_[4];
  int32_t lowMark_;
  int32_t highMark_;
};

template <class T>
class TNBaseThreadSharedList : public TNWaitableObject {
public:
  using TItem = std::shared_ptr<T>;

  explicit TNBaseThreadSharedList(const TNWaitableOptions& options) : TNWaitableObject(options) {}
  ~TNBaseThreadSharedList() override { Clear(); }

  int32_t Add(TItem item) {
    items_.push_back(std::move(item));
    AfterAdd(Count());
    return Count() - 1;
  }
  void Insert(int32_t index, TItem item) {
    if (index < 0) index = 0;
    if (index > Count()) index = Count();
    items_.insert(items_.begin() + index, std::move(item));
    AfterAdd(Count());
  }
  virtual void Delete(int32_t index) {
    if (index < 0 || index >= Count()) return;
    items_.erase(items_.begin() + index);
    AfterRemove(Count());
  }
  // Removes the first entry holding the object; returns its former index or -1.
  int32_t Remove(const T* object) {
    for (int32_t i = 0; i < Count(); ++i) {
      if (items_[i].get() == object) {
        Delete(i);
        return i;
      }
    }
    return -1;
  }
  virtual void Clear() {
    items_.clear();
    AfterClear();
  }
  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  // The item, or nullptr when index is out of range.
  TItem Items(int32_t index) const {
    if (index < 0 || index >= Count()) return nullptr;
    return items_[index];
  }

  void BeginRead() { lock_.BeginRead(); }
  void EndRead() { lock_.EndRead(); }
  void BeginWrite() { lock_.BeginWrite(); }
  void EndWrite() { lock_.EndWrite(); }
  TNMultiReadExclusiveWrite& Lock() { return lock_; }

private:
  TNMultiReadExclusiveWrite lock_;
  std::vector<TItem> items_;
};

template <class T>
class TNBaseThreadSharedQueue : public TNWaitableObject {
public:
  using TItem = std::shared_ptr<T>;

  explicit TNBaseThreadSharedQueue(const TNWaitableOptions& options) : TNWaitableObject(options) {}
  ~TNBaseThreadSharedQueue() override { Clear(); }

  void Push(TItem item) {
    items_.push_back(std::move(item));
    AfterAdd(Count());
  }
  // The head, removed; nullptr (and no event change) when empty.
  TItem Pop() {
    if (items_.empty()) return nullptr;
    TItem head = std::move(items_.front());
    items_.pop_front();
    AfterRemove(Count());
    return head;
  }
  TItem Peek() const { return items_.empty() ? nullptr : items_.front(); }
  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  void Clear() {
    items_.clear();
    AfterClear();
  }

  void BeginRead() { lock_.BeginRead(); }
  void EndRead() { lock_.EndRead(); }
  void BeginWrite() { lock_.BeginWrite(); }
  void EndWrite() { lock_.EndWrite(); }
  TNMultiReadExclusiveWrite& Lock() { return lock_; }

private:
  TNMultiReadExclusiveWrite lock_;
  std::deque<TItem> items_;
};

// The server's containers. Their items are declared by the units that use them.
class TCarrier;
class TBaseClient;
class TServerReplyMessage;
class TServerInputMessage;
class TNBaseCarrierChannel;
class TNBaseChannelMessage;

class TCarriersList : public TNBaseThreadSharedList<TCarrier> {
public:
  TCarriersList()
      : TNBaseThreadSharedList({.HighMark = 50, .LowMark = 10, .NotEmptyEvent = true}) {}

  // The largest carrier ID any stored row uses, carriers that are gone included (their
  // messages may still wait): a new carrier's ID lies above it, so a message of a deleted
  // carrier can never be sent with another carrier's settings. Guarded by the list's lock.
  int32_t LargestStoredCarrierID = 0;
};

class TClientsList : public TNBaseThreadSharedList<TBaseClient> {
public:
  TClientsList() : TNBaseThreadSharedList({.HighMark = 50, .LowMark = 10}) {}
};

class TReplyMessageList : public TNBaseThreadSharedList<TServerReplyMessage> {
public:
  TReplyMessageList()
      : TNBaseThreadSharedList(
            {.HighMark = 50, .LowMark = 10, .LowMarkEvent = true, .NotEmptyEvent = true}) {}
};

// The server's input queue, from the sessions to the new-message thread. Each entry carries
// the session that pushed it (its owner; nullptr for none). The queue counts each owner's
// entries, so that a session that holds more than its share can pause its own reader while
// every other session goes on (back-pressure per session). Pop serves the owners in turn: an
// entry's place is behind the entries its owner pushed before it and behind one entry of each
// other owner for each of those (fair queuing), so a client that floods never stands in front
// of another client's next message by more than one entry. One owner's entries leave in the
// order they came. Same locking rules as the other containers.
class TInputMessageQueue : public TNWaitableObject {
public:
  using TItem = std::shared_ptr<TServerInputMessage>;
  using TOwner = const void*;
  // The entries the owners hold between them before each owner's share is reached, and the
  // least share an owner always has however many owners there are.
  static constexpr int32_t kTotalShare = 1000;
  static constexpr int32_t kMinShare = 10;

  TInputMessageQueue() : TNWaitableObject({.HighMark = 50, .LowMark = 10, .NotEmptyEvent = true}) {}
  ~TInputMessageQueue() override { Clear(); }

  void Push(TItem item, TOwner owner = nullptr);
  // The next entry in fair order, removed; nullptr (and no event change) when empty.
  TItem Pop();
  TItem Peek() const;
  int32_t Count() const { return static_cast<int32_t>(entries_.size()); }
  void Clear();
  // The entries owner holds now.
  int32_t CountOf(TOwner owner) const;
  // The most entries one owner should hold: kTotalShare divided among the owners that hold
  // entries (one more when the asking owner holds none), never below kMinShare.
  int32_t Share(TOwner asking) const;

  void BeginRead() { lock_.BeginRead(); }
  void EndRead() { lock_.EndRead(); }
  void BeginWrite() { lock_.BeginWrite(); }
  void EndWrite() { lock_.EndWrite(); }
  TNMultiReadExclusiveWrite& Lock() { return lock_; }

private:
  struct TOwnerState {
    int32_t Count = 0;
    uint64_t LastTag = 0;
  };
  struct TEntry {
    TItem Item;
    TOwner Owner;
  };

  TNMultiReadExclusiveWrite lock_;
  // Ordered by (tag, arrival): an entry's tag is one more than the later of its owner's
  // previous tag and the tag of the last entry served.
  std::map<std::pair<uint64_t, uint64_t>, TEntry> entries_;
  std::unordered_map<TOwner, TOwnerState> owners_;
  uint64_t servedTag_ = 0;
  uint64_t arrivals_ = 0;
};

class TNChannelsList : public TNBaseThreadSharedList<TNBaseCarrierChannel> {
public:
  TNChannelsList()
      : TNBaseThreadSharedList(
            {.HighMark = 50, .LowMark = 10, .EmptyEvent = true, .NotEmptyEvent = true}) {}
};

// A channel's incoming (withEmptyEvent false) or outgoing (true) queue; its capacity is the
// high mark.
class TNChannelFiFo : public TNBaseThreadSharedQueue<TNBaseChannelMessage> {
public:
  TNChannelFiFo(int32_t capacity, bool withEmptyEvent)
      : TNBaseThreadSharedQueue({.HighMark = capacity,
                                 .HighMarkEvent = true,
                                 .LowMark = 0,
                                 .EmptyEvent = withEmptyEvent,
                                 .NotEmptyEvent = true}) {}
};

} // namespace voxmit
