#include "channels/RegChannels.h"

#include <Poco/Format.h>

#include "devices/Devices.h"
#include "host/LogFile.h"
#include "platform/OperatorUi.h"

namespace voxmit {

TNChannelClass::TNChannelClass(std::string className, TFactory factory, TLimits getBufferLimits)
    : className_(std::move(className)),
      factory_(std::move(factory)),
      getBufferLimits_(std::move(getBufferLimits)) {}

TBufferLimits TNChannelClass::GetBufferLimits() const { return getBufferLimits_(); }

std::shared_ptr<TNBaseCarrierChannel> TNChannelClass::Create(
    const std::shared_ptr<TNChannelsList>& channelsList, TCarrierType carrierType,
    int32_t carrierID, const std::string& carrierSettings,
    const std::shared_ptr<TNDevice>& device, const TNChannelCallbacks& callbacks) const {
  if (!device) {
    LogMessage(Poco::format("Creating Channel: class: \"%s\", CarrierID: \"%d\" failed: no device",
                            className_, carrierID));
    return nullptr;
  }
  try {
    const TNChannelArgs args{.ClassName = className_,
                             .ChannelsList = channelsList,
                             .CarrierType = carrierType,
                             .CarrierID = carrierID,
                             .CarrierSettings = carrierSettings,
                             .Device = device,
                             .Callbacks = callbacks};
    auto channel = factory_(args);
    if (!channel) return nullptr;
    channel->Launch(GetBufferLimits());
    return channel;
  } catch (const std::exception& e) {
    LogMessage(Poco::format("Creating Channel: class: \"%s\", CarrierID: \"%d\" failed: %s",
                            className_, carrierID, std::string(e.what())));
    return nullptr;
  }
}

bool TCarrierChannelsList::RegisterChannelClass(TCarrierType carrierType,
                                                std::shared_ptr<const TNChannelClass> cls) {
  std::string registered;
  {
    std::lock_guard lock(mutex_);
    for (const auto& entry : classes_)
      if (entry.CarrierType == carrierType) registered = entry.Class->ClassName();
    if (registered.empty()) {
      classes_.push_back({carrierType, std::move(cls)});
      return true;
    }
  }
  // The warning box waits for the operator: never shown under the lock.
  OperatorUi().ShowWarning(Poco::format(
      "CarrierChannel (for TypeNo = %d) is already registered by the following Channel: \"%s\"",
      static_cast<int>(carrierType), registered));
  return false;
}

std::shared_ptr<const TNChannelClass> TCarrierChannelsList::FindChannelClass(
    int32_t carrierType) const {
  std::lock_guard lock(mutex_);
  for (const auto& entry : classes_)
    if (entry.CarrierType == carrierType) return entry.Class;
  return nullptr;
}

void TCarrierChannelsList::UnregisterChannelClass(TCarrierType carrierType) {
  std::lock_guard lock(mutex_);
  std::erase_if(classes_, [carrierType](const TEntry& e) { return e.CarrierType == carrierType; });
}

int32_t TCarrierChannelsList::Count() const {
  std::lock_guard lock(mutex_);
  return static_cast<int32_t>(classes_.size());
}

TCarrierChannelsList& CarrierChannelsList() {
  static TCarrierChannelsList registry;
  return registry;
}

bool RegisterChannelClass(TCarrierType carrierType, std::shared_ptr<const TNChannelClass> cls) {
  return CarrierChannelsList().RegisterChannelClass(carrierType, std::move(cls));
}

std::shared_ptr<const TNChannelClass> FindChannelClass(int32_t carrierType) {
  return CarrierChannelsList().FindChannelClass(carrierType);
}

} // namespace voxmit
