#include "server/ServerProcess.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>

#include "carriers/RegisterCarriers.h"
#include "channels/TestChannels.h"
#include "clients/dmodComps.h"
#include "host/LogFile.h"
#include "host/dmodServerOptions.h"
#include "devices/Devices.h"
#include "platform/HomeFolder.h"
#include "platform/OperatorUi.h"
#include "platform/SingleInstance.h"
#include "platform/TNMainLoop.h"
#include "platform/ThreadRegistry.h"
#include "server/frmHidden.h"
#include "store/dmodData.h"
#include "store/dmodMaintenance.h"
#include "store/dmodServerSettings.h"
#include "store/schema.h"

namespace voxmit {

namespace {

const char* const kVersion = "2.0.0";

const char* const kUsage =
    "Usage: VoxmitServer2 --headless [--home DIR] [--quiet]\n"
    "       VoxmitServer2 --create-database [--home DIR]\n"
    "       VoxmitServer2 --help | --version\n"
    "\n"
    "  --headless          run without the desktop interface; the server starts at once,\n"
    "                      log lines go to standard output; SIGINT or SIGTERM stop it\n"
    "  --home DIR          the folder with Settings.ini, ServerData.db and the log files\n"
    "                      (default: $VOXMIT_HOME, else the program's folder)\n"
    "  --quiet             with --headless: do not print log lines\n"
    "  --create-database   create an empty ServerData.db in the home folder and exit\n";

struct TCommandLine {
  bool headless = false;
  bool quiet = false;
  bool createDatabase = false;
  bool help = false;
  bool version = false;
  std::optional<std::filesystem::path> home;
  std::string error;
};

TCommandLine ParseCommandLine(int argc, char** argv) {
  TCommandLine cl;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--headless") cl.headless = true;
    else if (arg == "--quiet") cl.quiet = true;
    else if (arg == "--create-database") cl.createDatabase = true;
    else if (arg == "--help" || arg == "-h") cl.help = true;
    else if (arg == "--version") cl.version = true;
    else if (arg == "--home") {
      if (i + 1 >= argc) { cl.error = "--home needs a folder"; break; }
      cl.home = argv[++i];
    } else if (arg.rfind("--home=", 0) == 0) cl.home = arg.substr(7);
    else { cl.error = "unknown argument: " + arg; break; }
  }
  return cl;
}

// The home folder must exist and be writable: the settings, the database and the log live
// there.
bool PrepareHomeFolder(const TCommandLine& cl) {
  std::filesystem::path home;
  if (cl.home) home = *cl.home;
  else if (const char* env = std::getenv("VOXMIT_HOME"); env && *env) home = env;
  else home = ExecutableFolder();
  std::error_code ec;
  home = std::filesystem::absolute(home, ec);
  if (!std::filesystem::is_directory(home, ec)) {
    std::cerr << "VoxmitServer2: the home folder " << home << " does not exist\n";
    return false;
  }
  if (::access(home.c_str(), W_OK | X_OK) != 0) {
    std::cerr << "VoxmitServer2: the home folder " << home << " cannot be written\n";
    return false;
  }
  SetHomeFolder(home);
  return true;
}

int CreateDatabaseCommand() {
  const auto path = HomeFolder() / "ServerData.db";
  try {
    CreateDatabase(path);
  } catch (const std::exception& e) {
    std::cerr << "VoxmitServer2: " << e.what() << "\n";
    return 1;
  }
  std::cout << "Created " << path.string() << "\n";
  return 0;
}

void PrintLine(const std::string& line) { std::cout << line << std::endl; }

int RunHeadless(const TCommandLine& cl) {
  TNSingleInstance instance;
  try {
    if (!instance.Acquire()) {
      OperatorUi().ShowWarning(
          "There is another instance of VoxmitServer already running on this PC !\r\r"
          "Can't launch more than one server. Exiting.");
      return 1;
    }
  } catch (const std::exception& e) {
    std::cerr << "VoxmitServer2: " << e.what() << "\n";
    return 1;
  }

  if (!cl.quiet) {
    static_cast<THeadlessOperatorUi&>(OperatorUi()).SetEchoTrayTip(true);
    SetLogWindowSink(PrintLine);
  }

  // The data modules, in the order the rest of the process relies on, and the device pool.
  // They outlive the hidden form, which receives them.
  std::unique_ptr<TDMServerOptions> options;
  std::unique_ptr<TDMData> data;
  std::unique_ptr<TDMComps> comps;
  std::unique_ptr<TDMServerSettings> serverSettings;
  std::unique_ptr<TDmMaintenance> maintenance;
  TNDevicesList devices;
  try {
    options = std::make_unique<TDMServerOptions>();
    options->SaveOnDestroy = false;
    data = std::make_unique<TDMData>();
    comps = std::make_unique<TDMComps>();
    serverSettings = std::make_unique<TDMServerSettings>();
    maintenance = std::make_unique<TDmMaintenance>(*data);
  } catch (const std::exception& e) {
    OperatorUi().ShowWarning(e.what());
    return 1;
  }

  auto form = std::make_unique<THiddenForm>(
      TServerModules{*options, *data, *comps, *serverSettings, *maintenance, devices});
  FormsReady.Set();

  // The channel classes, before anything can schedule a channel; the test channels (only when
  // VOXMIT_TEST_CHANNELS asks for them) take the place of the real ones.
  RegisterCarrierChannels();
  RegisterTestChannels();

  form->FlashTrayIcon(3, 300);

  // Headless means the server runs: as if AutoStartOnLoad were set.
  if (!form->StartServer()) return 1;

  TNMainLoop& loop = TNMainLoop::Instance();
  // A handler's error (a log line that cannot be written: a full disk) is never silent, and
  // never a flood either.
  loop.onError = ErrorWarningsTo(std::cerr);
  bool stopFailed = false;
  loop.Run(
      [&form, &loop](const TNPostedMessage& m) {
        form->HandleMessage(m);
        // The server stopped because it cannot go on: the process ends as when it could not
        // start.
        if (!form->FatalStop().empty()) loop.Quit();
      },
      [&form, &loop, &stopFailed](int) {
        // Quit comes whatever the stop does: a process left half stopped would serve no one.
        stopFailed = !form->StopForExit() || stopFailed;
        loop.Quit();
      });
  // Lines posted during the stop still reach the console.
  loop.Drain([&form](const TNPostedMessage& m) { form->HandleMessage(m); });
  TNThreadRegistry::Instance().WaitAll(30000);
  return form->FatalStop().empty() && !stopFailed ? 0 : 1;
}

} // namespace

int StartUp(int argc, char** argv) {
  // Before any thread starts, so that every thread inherits the mask and only the main loop's
  // signalfd sees SIGINT and SIGTERM.
  BlockStopSignals();
  // A closed standard output or a vanished peer must end a write with an error, never the
  // process: the network library happens to ignore SIGPIPE too, but nothing here relies on it.
  std::signal(SIGPIPE, SIG_IGN);

  const TCommandLine cl = ParseCommandLine(argc, argv);
  if (!cl.error.empty()) {
    std::cerr << "VoxmitServer2: " << cl.error << "\n\n" << kUsage;
    return 2;
  }
  if (cl.help) {
    std::cout << kUsage;
    return 0;
  }
  if (cl.version) {
    std::cout << "VoxmitServer2 " << kVersion << "\n";
    return 0;
  }
  if (!PrepareHomeFolder(cl)) return 2;
  if (cl.createDatabase) return CreateDatabaseCommand();
  if (!cl.headless) {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((!display || !*display) && (!wayland || !*wayland))
      std::cerr << "VoxmitServer2: no display is available; run with --headless\n";
    else
      std::cerr << "VoxmitServer2: this build has no desktop interface; run with --headless\n";
    return 2;
  }
  return RunHeadless(cl);
}

} // namespace voxmit
