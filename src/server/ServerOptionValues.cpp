#include "server/ServerOptionValues.h"

#include "host/dmodServerOptions.h"

namespace voxmit {

bool OptionBool(const std::string& name) {
  return DMServerOptions()->KioOptions.OptionByName(name).AsBool();
}

int OptionInt(const std::string& name) {
  return DMServerOptions()->KioOptions.OptionByName(name).AsInteger();
}

void ApplyAllOptionValues(bool serverStarting) { DMServerOptions()->ApplyAllValues(serverStarting); }

} // namespace voxmit
