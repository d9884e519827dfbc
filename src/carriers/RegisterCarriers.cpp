#include "carriers/RegisterCarriers.h"

#include <mutex>

#include "carriers/ChannelACU.h"
#include "carriers/ChannelACUGK.h"
#include "carriers/ChannelDirectTap.h"
#include "carriers/ChannelMSG.h"
#include "carriers/ChannelPacnet.h"
#include "carriers/ChannelSMS.h"
#include "carriers/ChannelSMTP.h"
#include "carriers/ChannelSNPP.h"
#include "carriers/ChannelTap.h"
#include "carriers/ChannelWCTP.h"
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
    Register<TChannelWCTP>(CT_WCTP, "TChannelWCTP",
                           "Error registering CarrierChannelClass (unit: \"ChannelWCTP\", class: "
                           "\"TChannelWCTP\" (CarrierType= CARRIER_TYPE_WCTP)");
    Register<TChannelMSG>(CT_MSG, "TChannelMSG",
                          "Error registering CarrierChannelClass (unit: \"ChannelMSG\", class: "
                          "\"TChannelMSG\" (CarrierType= CARRIER_TYPE_MSG)");
    Register<TChannelPacnet>(CT_PACNET, "TChannelPacnet",
                             "Error registering CarrierChannelClass (unit: \"ChannelPacnet\", "
                             "class: \"TChannelPacnet\" (CarrierType= CARRIER_TYPE_PACNET)");
    Register<TChannelSMS>(CT_GSM_SMS, "TChannelSMS",
                          "Error registering CarrierChannelClass (unit: \"ChannelSMS\", class: "
                          "\"TChannelSMS\" (CarrierType= CARRIER_TYPE_SMS)");
    Register<TChannelSMTP>(CT_SMTP, "TChannelSMTP",
                           "Error registering CarrierChannelClass (unit: \"ChannelSMTP\", class: "
                           "\"TChannelSMTP\" (CarrierType= CARRIER_TYPE_SMTP)");
    Register<TChannelSNPP>(CT_SNPP, "TChannelSNPP",
                           "Error registering CarrierChannelClass (unit: \"ChannelSNPP\", class: "
                           "\"TChannelSNPP\" (CarrierType= CARRIER_TYPE_SNPP)");
    Register<TChannelACU>(CT_ACU, "TChannelACU",
                          "Error registering CarrierChannelClass (unit: \"ChannelACU\", class: "
                          "\"TChannelACU\" (CarrierType= CARRIER_TYPE_ACU)");
    Register<TChannelACUGK>(
        CT_ACUGK, "TChannelACUGK",
        "Error registering CarrierChannelClass (unit: \"ChannelACUGK\", class: "
        "\"TChannelACUGK\" (CarrierType= CARRIER_TYPE_ACUGK)");
  });
}

} // namespace voxmit
