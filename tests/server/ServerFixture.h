#pragma once
// The process's data modules as process start makes them, on a fresh database in a temporary
// home that is the process's home folder, with Settings.ini written first (a free loopback
// port, short thread waits, the log written to files).

#include <filesystem>
#include <memory>
#include <string>

#include "clients/dmodComps.h"
#include "devices/Devices.h"
#include "host/dmodServerOptions.h"
#include "server/ServerModules.h"
#include "store/dmodData.h"
#include "store/dmodMaintenance.h"
#include "store/dmodServerSettings.h"
#include "store/schema.h"
#include "support/ServerProcess.h"
#include "support/TempHome.h"

namespace voxmit::test {

class TServerModulesFixture {
public:
  explicit TServerModulesFixture(const std::string& extraSettings = "")
      : port_(FreeTcpPort()) {
    home_.Write("Settings.ini", "[Connections]\nPortNo=" + std::to_string(port_) +
                                    "\n[Threads]\nThreadWaitLoopTimeout=200\n"
                                    "[Log]\nLogToFile=1\n" +
                                    extraSettings);
    CreateDatabase(home_.File("ServerData.db"));
    options_ = std::make_unique<TDMServerOptions>();
    options_->SaveOnDestroy = false;
    data_ = std::make_unique<TDMData>();
    comps_ = std::make_unique<TDMComps>();
    serverSettings_ = std::make_unique<TDMServerSettings>();
    maintenance_ = std::make_unique<TDmMaintenance>(*data_);
  }

  TServerModules Modules() {
    return {*options_, *data_, *comps_, *serverSettings_, *maintenance_, devices_};
  }
  const TempHome& Home() const { return home_; }
  std::filesystem::path DatabaseFile() const { return home_.File("ServerData.db"); }
  int Port() const { return port_; }

private:
  TempHome home_;
  int port_;
  std::unique_ptr<TDMServerOptions> options_;
  std::unique_ptr<TDMData> data_;
  std::unique_ptr<TDMComps> comps_;
  std::unique_ptr<TDMServerSettings> serverSettings_;
  std::unique_ptr<TDmMaintenance> maintenance_;
  TNDevicesList devices_;
};

} // namespace voxmit::test
