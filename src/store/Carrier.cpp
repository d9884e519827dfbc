#include "store/Carrier.h"

#include <algorithm>

namespace voxmit {

TCarrier::TCarrier(TCarrierRow row)
    : IsNew(row.IsNew),
      CarrierID(row.CarrierID),
      CarrierType(row.CarrierType),
      CarrierData(std::move(row.CarrierData)),
      IntroducedByGUID(CutGUID(row.IntroducedByGUID)),
      IntroducedTime(std::move(row.IntroducedTime)),
      NewMessageEvent(false) {}

std::string CutGUID(const std::string& guid) { return guid.substr(0, 38); }

std::shared_ptr<TCarrier> FindCarrier(const TCarriersList& list, int32_t carrierType,
                                      const std::string& carrierData) {
  for (int32_t i = 0; i < list.Count(); ++i) {
    std::shared_ptr<TCarrier> carrier = list.Items(i);
    if (carrier && carrier->CarrierType == carrierType && carrier->CarrierData == carrierData)
      return carrier;
  }
  return nullptr;
}

std::shared_ptr<TCarrier> FindCarrierByID(const TCarriersList& list, int32_t carrierID) {
  for (int32_t i = 0; i < list.Count(); ++i) {
    std::shared_ptr<TCarrier> carrier = list.Items(i);
    if (carrier && carrier->CarrierID == carrierID) return carrier;
  }
  return nullptr;
}

int32_t NextCarrierID(const TCarriersList& list) {
  int32_t largest = 0;
  for (int32_t i = 0; i < list.Count(); ++i) {
    std::shared_ptr<TCarrier> carrier = list.Items(i);
    if (carrier) largest = std::max(largest, carrier->CarrierID);
  }
  return largest + 1;
}

} // namespace voxmit
