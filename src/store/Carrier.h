#pragma once
// One carrier: a distinct (carrier type, carrier settings text) pair that clients have used.
//
// Threads: a TCarrier is shared through std::shared_ptr by the carriers list, the sessions,
// the new-carrier thread and the iterators. Its identity fields are set before it is added to
// the list and never change afterwards. IsNew is cleared only by the new-carrier thread
// (through StoreCarrier). NewMessageEvent is safe to use from any thread.
//
// The list helpers below read the list without locking: the caller holds the carriers list's
// read (or write) lock around them.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/BaseContainers.h"
#include "platform/TNEvent.h"

namespace voxmit {

// What a carrier is made of, given by name: TCarrierRow{.IsNew = true, .CarrierID = 3, ...}.
struct TCarrierRow {
  bool IsNew = false;
  int32_t CarrierID = 0;
  int32_t CarrierType = 0;
  std::string CarrierData{};
  std::string IntroducedByGUID{};  // cut to 38 characters by the constructor
  std::string IntroducedTime{};
};

class TCarrier {
public:
  explicit TCarrier(TCarrierRow row);
  TCarrier(const TCarrier&) = delete;
  TCarrier& operator=(const TCarrier&) = delete;

  // Introduced during this run and not yet written to Carriers.
  std::atomic<bool> IsNew;
  const int32_t CarrierID;
  const int32_t CarrierType;
  const std::string CarrierData;        // the carrier settings exactly as the client sent them
  const std::string IntroducedByGUID;   // at most 38 characters
  const std::string IntroducedTime;     // local time, DbTime.h text
  // Set each time a message for this carrier has been stored. Manual reset.
  TNEvent NewMessageEvent;
};

// Cuts a client GUID to the 38 characters of its braced form.
std::string CutGUID(const std::string& guid);

// The carrier with exactly this type and settings text (byte for byte, case-sensitive), or
// nullptr.
std::shared_ptr<TCarrier> FindCarrier(const TCarriersList& list, int32_t carrierType,
                                      const std::string& carrierData);
// The carrier with this ID, or nullptr.
std::shared_ptr<TCarrier> FindCarrierByID(const TCarriersList& list, int32_t carrierID);
// The ID for a carrier introduced now: one more than the largest in the list, 1 when empty.
int32_t NextCarrierID(const TCarriersList& list);

} // namespace voxmit
