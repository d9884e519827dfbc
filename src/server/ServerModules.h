#pragma once
// The process's data modules and device pool: created once by process start, in this order,
// and destroyed only when the process ends, after the hidden form and every server run that
// received them. Whoever needs one gets it from here or through its own constructor; there is
// no global way to reach them. Copying the struct copies the references.

namespace voxmit {

class TDMServerOptions;
class TDMData;
class TDMComps;
class TDMServerSettings;
class TDmMaintenance;
class TNDevicesList;

struct TServerModules {
  TDMServerOptions& Options;
  TDMData& Data;
  TDMComps& Comps;
  TDMServerSettings& ServerSettings;
  TDmMaintenance& Maintenance;
  TNDevicesList& Devices;
};

} // namespace voxmit
