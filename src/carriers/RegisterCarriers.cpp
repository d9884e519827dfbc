#include "carriers/RegisterCarriers.h"

#include <mutex>

#include "carriers/ChannelDirectTap.h"
#include "carriers/ChannelSMTP.h"
#include "carriers/ChannelSNPP.h"
#include "carriers/ChannelTap.h"
#include "channels/RegChannels.h"
#include "platform/OperatorUi.h"

namespace voxmit {

namespace {

template <class T>
void Register(TCarrierType carrierType, const char* className, const char* failureText) {
  if (!RegisterChannelClass(carrierType, MakeChannelClass<T>(className)))
    OperatorUi().ShowWarning(failureText);
}

} // namespace

void RegisterCarrierChannels() {
  static std::once_flag once;
  std::call_once(once, [] {
    Register<TChannelTap>(CT_TAP, "TChannelTap",
                          "Error registering CarrierChannelClass (unit: \"ChannelTap\", class: "
                          "\"TChannelTap\" (CarrierType= CARRIER_TYPE_TAP)");
    Register<TChannelDirectTap>(
        CT_DIRECT_TAP, "TChannelDirectTap",
        "Error registering CarrierChannelClass (unit: \"ChannelDirectTap\", class: "
        "\"TChannelDirectTap\" (CarrierType= CARRIER_TYPE_DIRECT_TAP)");
    Register<TChannelSMTP>(CT_SMTP, "TChannelSMTP",
                           "Error registering CarrierChannelClass (unit: \"ChannelSMTP\", class: "
                           "\"TChannelSMTP\" (CarrierType= CARRIER_TYPE_SMTP)");
    Register<TChannelSNPP>(CT_SNPP, "TChannelSNPP",
                           "Error registering CarrierChannelClass (unit: \"ChannelSNPP\", class: "
                           "\"TChannelSNPP\" (CarrierType= CARRIER_TYPE_SNPP)");
  });
}

} // namespace voxmit
