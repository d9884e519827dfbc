#pragma once
// The channel class registry: which channel class serves which carrier type. Each carrier
// unit registers its class at program start (an explicit call from the start code: a static
// initialiser in a static library would be dropped by the linker); the iterators build
// channels through FindChannelClass, the scheduler asks a class for its buffer limits.
//
// Threads: every operation is safe from any thread; mutex_ guards classes_. FindChannelClass
// hands out a shared_ptr to an immutable entry, so a caller keeps using it without the lock.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "channels/BaseChannel.h"
#include "common/ServerTypes.h"

namespace voxmit {

// A registered channel class: its name, its factory (the virtual constructor) and its
// class-level buffer limits.
class TNChannelClass {
public:
  using TFactory = std::function<std::shared_ptr<TNBaseCarrierChannel>(const TNChannelArgs&)>;
  using TLimits = std::function<TBufferLimits()>;

  TNChannelClass(std::string className, TFactory factory, TLimits getBufferLimits);

  const std::string& ClassName() const { return className_; }
  TBufferLimits GetBufferLimits() const;
  // Builds and launches a channel for the device; its worker starts at once and registers the
  // channel in the list once it holds the device. Returns nullptr (logged) when the carrier's
  // constructor fails or device is null; never throws.
  std::shared_ptr<TNBaseCarrierChannel> Create(const std::shared_ptr<TNChannelsList>& channelsList,
                                               TCarrierType carrierType, int32_t carrierID,
                                               const std::string& carrierSettings,
                                               const std::shared_ptr<TNDevice>& device,
                                               const TNChannelCallbacks& callbacks = {}) const;

private:
  std::string className_;
  TFactory factory_;
  TLimits getBufferLimits_;
};

// The entry of a carrier class T with a constructor T(const TNChannelArgs&) and a static
// TBufferLimits T::GetBufferLimits().
template <class T>
std::shared_ptr<const TNChannelClass> MakeChannelClass(std::string className) {
  return std::make_shared<const TNChannelClass>(
      std::move(className),
      [](const TNChannelArgs& args) { return std::make_shared<T>(args); },
      [] { return T::GetBufferLimits(); });
}

class TCarrierChannelsList {
public:
  TCarrierChannelsList() = default;
  TCarrierChannelsList(const TCarrierChannelsList&) = delete;
  TCarrierChannelsList& operator=(const TCarrierChannelsList&) = delete;

  // Appends (type, class) and returns true; when the type already has a class, shows the
  // warning "CarrierChannel (for TypeNo = %d) is already registered by the following
  // Channel: \"%s\"" and returns false (the first registration stays).
  bool RegisterChannelClass(TCarrierType carrierType, std::shared_ptr<const TNChannelClass> cls);
  // The class registered for the type, or nullptr.
  std::shared_ptr<const TNChannelClass> FindChannelClass(int32_t carrierType) const;
  // Removes the type's registration (tests; a test facility replacing a class).
  void UnregisterChannelClass(TCarrierType carrierType);
  int32_t Count() const;

private:
  struct TEntry {
    TCarrierType CarrierType;
    std::shared_ptr<const TNChannelClass> Class;
  };
  mutable std::mutex mutex_;
  std::vector<TEntry> classes_;  // registration order
};

// The process-wide registry: created at first use (before any carrier registers), lives
// until the program ends.
TCarrierChannelsList& CarrierChannelsList();

// Shorthands on the process-wide registry.
bool RegisterChannelClass(TCarrierType carrierType, std::shared_ptr<const TNChannelClass> cls);
std::shared_ptr<const TNChannelClass> FindChannelClass(int32_t carrierType);

} // namespace voxmit
