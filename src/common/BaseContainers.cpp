#include "common/BaseContainers.h"

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

} // namespace voxmit
