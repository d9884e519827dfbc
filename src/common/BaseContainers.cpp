#include "common/BaseContainers.h"

#include <algorithm>

namespace voxmit {

TNWaitableObject::TNWaitableObject(const TNWaitableOptions& options)
    : lowMark_(options.LowMark), highMark_(options.HighMark) {
  if (options.EmptyEvent) events_[stEmpty] = std::make_unique<TNEvent>();
  if (options.NotEmptyEvent) events_[stNotEmpty] = std::make_unique<TNEvent>();
  if (options.LowMarkEvent) events_[stLowMark] = std::make_unique<TNEvent>();
  if (options.HighMarkEvent) events_[stHighMark] = std::make_unique<TNEvent>();
  SetState(stLowMark);
  SetState(stEmpty);
}

TNWaitableObject::~TNWaitableObject() = default;

void TNWaitableObject::SetState(TNState state) {
  auto set = [this](TNState s) { if (events_[s]) events_[s]->Set(); };
  auto reset = [this](TNState s) { if (events_[s]) events_[s]->Reset(); };
  switch (state) {
    case stEmpty: reset(stNotEmpty); set(stEmpty); break;
    case stNotEmpty: reset(stEmpty); set(stNotEmpty); break;
    case stLowMark: set(stLowMark); break;
    case stHighMark: set(stHighMark); break;
  }
}

void TNWaitableObject::ResetState(TNState state) {
  if (events_[state]) events_[state]->Reset();
}

void TNWaitableObject::ResetStates() {
  for (auto& e : events_)
    if (e) e->Reset();
}

TWaitResult TNWaitableObject::WaitFor(TNState state, int32_t timeoutMs) const {
  // An event the container was created without is never waited on.
  if (!events_[state]) return wrError;
  return events_[state]->Wait(timeoutMs);
}

TWaitResult TNWaitableObject::WaitForNotEmpty(int32_t t) const { return WaitFor(stNotEmpty, t); }
TWaitResult TNWaitableObject::WaitForEmpty(int32_t t) const { return WaitFor(stEmpty, t); }
TWaitResult TNWaitableObject::WaitForLowMark(int32_t t) const { return WaitFor(stLowMark, t); }
TWaitResult TNWaitableObject::WaitForHighMark(int32_t t) const { return WaitFor(stHighMark, t); }

const TNEvent* TNWaitableObject::Event(TNState state) const { return events_[state].get(); }

void TNWaitableObject::AfterAdd(int32_t count) {
  SetState(stNotEmpty);
  if (count >= highMark_) SetState(stHighMark);
  if (count > lowMark_) ResetState(stLowMark);
}

void TNWaitableObject::AfterRemove(int32_t count) {
  if (count == 0) SetState(stEmpty);
  if (count <= lowMark_) SetState(stLowMark);
  if (count < highMark_) ResetState(stHighMark);
}

void TNWaitableObject::AfterClear() {
  SetState(stEmpty);
  SetState(stLowMark);
  ResetState(stHighMark);
}

// ---- TInputMessageQueue ---------------------------------------------------------------------

void TInputMessageQueue::Push(TItem item, TOwner owner) {
  TOwnerState& state = owners_[owner];
  const uint64_t tag = std::max(state.LastTag, servedTag_) + 1;
  state.LastTag = tag;
  ++state.Count;
  entries_.emplace(std::make_pair(tag, ++arrivals_), TEntry{std::move(item), owner});
  AfterAdd(Count());
}

TInputMessageQueue::TItem TInputMessageQueue::Pop() {
  if (entries_.empty()) return nullptr;
  auto head = entries_.begin();
  servedTag_ = head->first.first;
  TItem item = std::move(head->second.Item);
  const auto owner = owners_.find(head->second.Owner);
  // An owner without entries is forgotten: its next entry starts from the served tag.
  if (owner != owners_.end() && --owner->second.Count <= 0) owners_.erase(owner);
  entries_.erase(head);
  AfterRemove(Count());
  return item;
}

TInputMessageQueue::TItem TInputMessageQueue::Peek() const {
  return entries_.empty() ? nullptr : entries_.begin()->second.Item;
}

void TInputMessageQueue::Clear() {
  entries_.clear();
  owners_.clear();
  AfterClear();
}

int32_t TInputMessageQueue::CountOf(TOwner owner) const {
  const auto it = owners_.find(owner);
  return it == owners_.end() ? 0 : it->second.Count;
}

int32_t TInputMessageQueue::Share(TOwner asking) const {
  const auto owners = static_cast<int32_t>(owners_.size()) + (owners_.contains(asking) ? 0 : 1);
  return std::max(kTotalShare / owners, kMinShare);
}

} // namespace voxmit
