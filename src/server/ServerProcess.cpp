#include "server/ServerProcess.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <signal.h>
#include <string>
#include <unistd.h>

#include "automation/AutomationServer.h"
#include "automation/ServiceFile.h"
#include "carriers/RegisterCarriers.h"
#include "channels/TestChannels.h"
#include "clients/dmodComps.h"
#include "host/IniFile.h"
#include "host/LogFile.h"
#include "host/dmodServerOptions.h"
#include "devices/Devices.h"
#include "platform/HomeFolder.h"
#include "platform/OperatorUi.h"
#include "platform/SingleInstance.h"
#include "platform/TNMainLoop.h"
#include "platform/ThreadRegistry.h"
#include "server/DeviceCommands.h"
#include "server/RunReport.h"
#include "server/StatusServer.h"
#include "server/frmHidden.h"
#include "store/dmodData.h"
#include "store/dmodMaintenance.h"
#include "store/dmodServerSettings.h"
#include "store/schema.h"

namespace voxmit {

namespace {

const char* const kVersion = kServerVersion;

const char* const kUsage =
    "Usage: VoxmitServer2 [--home DIR]\n"
    "       VoxmitServer2 --headless [--home DIR] [--quiet]\n"
    "       VoxmitServer2 --create-database [--home DIR]\n"
    "       VoxmitServer2 --regserver | --unregserver [--home DIR] [--system-bus]\n"
    "       VoxmitServer2 --help | --version\n"
    "\n"
    "  (no switch)         run as a tray application on the desktop\n"
    "  --headless          run without the desktop interface; the server starts at once,\n"
    "                      log lines go to standard output; SIGINT or SIGTERM stop it\n"
    "  --home DIR          the folder with Settings.ini, ServerData.db and the log files\n"
    "                      (default: $VOXMIT_HOME, else the program's folder)\n"
    "  --quiet             with --headless: do not print log lines\n"
    "  --create-database   create an empty ServerData.db in the home folder and exit\n"
    "  --regserver         install the D-Bus service file that lets the bus start the server\n"
    "                      (with this home folder) for the automation interface, and exit\n"
    "  --unregserver       remove that service file, and exit\n"
    "  --embedding         the start was made by the bus (implies --headless --quiet); the\n"
    "                      first automation object's release ends the process\n"
    "  --system-bus        offer the automation interface on the system bus (the default is\n"
    "                      the session bus); with --regserver also installs the bus policy\n"
    "  --no-automation     do not offer the automation interface\n"
    "  (the local server switches also work with \"-\" or \"/\" and in any letter case)\n";

struct TCommandLine {
  bool headless = false;
  bool quiet = false;
  bool createDatabase = false;
  bool help = false;
  bool version = false;
  bool regServer = false;
  bool unregServer = false;
  bool embedding = false;
  bool systemBus = false;
  bool noAutomation = false;
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
    else if (arg == "--system-bus") cl.systemBus = true;
    else if (arg == "--no-automation") cl.noAutomation = true;
    else if (arg == "--home") {
      if (i + 1 >= argc) { cl.error = "--home needs a folder"; break; }
      cl.home = argv[++i];
    } else if (arg.rfind("--home=", 0) == 0) cl.home = arg.substr(7);
    else if (const TLocalServerSwitch sw = ParseLocalServerSwitch(arg);
             sw != TLocalServerSwitch::None) {
      if (sw == TLocalServerSwitch::RegServer) cl.regServer = true;
      else if (sw == TLocalServerSwitch::UnregServer) cl.unregServer = true;
      else cl.embedding = true;
    } else { cl.error = "unknown argument: " + arg; break; }
  }
  if (cl.embedding) {
    // The bus starts the server for a client: there is nobody to show a window to.
    cl.headless = true;
    cl.quiet = true;
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

// The console echo is flushed with the log file, once per batch of lines.
void PrintLine(const std::string& line) { std::cout << line << '\n'; }
void FlushConsole() { std::cout.flush(); }

int RegistrationCommand(const TCommandLine& cl) {
  try {
    if (cl.regServer) {
      const auto program = std::filesystem::canonical("/proc/self/exe");
      for (const auto& path : RegisterServer(program, HomeFolder(), cl.systemBus))
        std::cout << "Wrote " << path.string() << "\n";
    } else {
      for (const auto& path : UnregisterServer(cl.systemBus))
        std::cout << "Removed " << path.string() << "\n";
    }
  } catch (const std::exception& e) {
    std::cerr << "VoxmitServer2: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

// The automation interface of this process, or nullptr when it is not offered or the bus
// cannot be reached (the server runs on without it; a start by the bus cannot).
std::unique_ptr<TAutomationServer> StartAutomation(const TCommandLine& cl, THiddenForm& form) {
  if (cl.noAutomation) return nullptr;
  TAutomationHost host{
      .StartServer = [] { PostStartServer(); },
      .StopServer = [] { PostStopServer(); },
      .ShowMenu = [](int32_t x, int32_t y) { PostShowTrayMenu(x, y); },
      .Running = [] { return ServerRunning.load(); },
      // The main loop's stop: the server stops as for SIGTERM, then the process ends.
      .EndProcess = [] { ::kill(::getpid(), SIGTERM); },
  };
  std::unique_ptr<TAutomationServer> automation;
  try {
    automation = std::make_unique<TAutomationServer>(
        TAutomationOptions{.SystemBus = cl.systemBus, .Activated = cl.embedding},
        std::move(host));
  } catch (const std::exception& e) {
    LogMessage(std::string("The automation interface is not available: ") + e.what());
    return nullptr;
  }
  form.RunChanged = [server = automation.get()](TServerRun* run) {
    server->SetSessionContext(run ? std::optional(run->SessionContext()) : std::nullopt);
  };
  return automation;
}

// The status endpoint of [Status] HttpPort, or nothing when it is off or cannot listen (the
// server runs without it then: monitoring must not keep pages from going out).
std::unique_ptr<TStatusServer> StartStatusServer(const std::filesystem::path& database) {
  const TStatusSettings settings = ReadStatusSettings(TIniFile(HomeFolder() / "Settings.ini"));
  if (settings.HttpPort == 0) return nullptr;
  try {
    auto status = std::make_unique<TStatusServer>(settings, database);
    LogMessage("Status: listening on " + settings.HttpAddress + " port " +
               std::to_string(status->Port()) + " (/health, /metrics)");
    return status;
  } catch (const std::exception& e) {
    LogMessage("Status: cannot listen on " + settings.HttpAddress + " port " +
               std::to_string(settings.HttpPort) + ": " + ErrorText(e));
    return nullptr;
  }
}

// The data modules, in the order the rest of the process relies on, and the device pool.
// They outlive the hidden form, which receives them.
struct TProcessModules {
  std::unique_ptr<TDMServerOptions> options;
  std::unique_ptr<TDMData> data;
  std::unique_ptr<TDMComps> comps;
  std::unique_ptr<TDMServerSettings> serverSettings;
  std::unique_ptr<TDmMaintenance> maintenance;
  TNDevicesList devices;

  // False when one could not be made (the operator was told why).
  bool Create() {
    try {
      options = std::make_unique<TDMServerOptions>();
      options->SaveOnDestroy = false;
      data = std::make_unique<TDMData>();
      comps = std::make_unique<TDMComps>();
      serverSettings = std::make_unique<TDMServerSettings>();
      maintenance = std::make_unique<TDmMaintenance>(*data);
    } catch (const std::exception& e) {
      OperatorUi().ShowWarning(e.what());
      return false;
    }
    return true;
  }
  TServerModules Modules() {
    return TServerModules{*options, *data, *comps, *serverSettings, *maintenance, devices};
  }

  // The hidden form over these modules, with the channel classes registered before anything
  // can schedule a channel (the test channels, only when VOXMIT_TEST_CHANNELS asks for them,
  // take the place of the real ones), its icon flashing.
  std::unique_ptr<THiddenForm> MakeForm() {
    auto form = std::make_unique<THiddenForm>(Modules());
    FormsReady.Set();
    RegisterCarrierChannels();
    RegisterTestChannels();
    form->FlashTrayIcon(3, 300);
    return form;
  }
};

// Refuses a second instance; false when this process must end (the operator was told why).
bool AcquireInstance(TNSingleInstance& instance) {
  try {
    if (!instance.Acquire()) {
      OperatorUi().ShowWarning(
          "There is another instance of VoxmitServer already running on this PC !\r\r"
          "Can't launch more than one server. Exiting.");
      return false;
    }
  } catch (const std::exception& e) {
    std::cerr << "VoxmitServer2: " << e.what() << "\n";
    return false;
  }
  // The device commands read it to tell whether this server uses their database.
  try {
    instance.SetHolderText(DatabaseLockText(HomeFolder() / kDatabaseFileName));
  } catch (const std::exception& e) {
    std::cerr << "VoxmitServer2: " << e.what() << "\n";
  }
  return true;
}

// What a run offers beside the server itself: the automation interface and the status
// endpoint (up before the start, so that /health tells a start from a server that is not
// there). The form outlives both: whatever way a run is left, the form stops telling the
// automation server of runs first.
struct TRunServices {
  THiddenForm& Form;
  std::unique_ptr<TAutomationServer> Automation;
  std::unique_ptr<TStatusServer> Status;
  ~TRunServices() { Form.RunChanged = nullptr; }
};

int RunHeadless(const TCommandLine& cl) {
  TNSingleInstance instance;
  if (!AcquireInstance(instance)) return 1;

  if (!cl.quiet) {
    static_cast<THeadlessOperatorUi&>(OperatorUi()).SetEchoTrayTip(true);
    SetLogWindowSink(PrintLine, FlushConsole);
  }

  TProcessModules pm;
  if (!pm.Create()) return 1;
  auto form = pm.MakeForm();

  TRunServices services{*form, StartAutomation(cl, *form), StartStatusServer(pm.data->File())};
  if (cl.embedding && !services.Automation) return 1;

  // Headless means the server runs: as if AutoStartOnLoad were set.
  if (!form->StartServer()) return 1;

  TNMainLoop& loop = TNMainLoop::Instance();
  // A handler's error (a log line that cannot be written: a full disk) is never silent, and
  // never a flood either.
  loop.onError = ErrorWarningsTo(std::cerr);
  loop.afterDrain = FlushLog;
  bool stopFailed = false;
  loop.Run(
      [&form, &loop](const TNPostedMessage& m) {
        form->HandleMessage(m);
        // The server stopped because it cannot go on: the process ends as when it could not
        // start.
        if (!form->FatalStop().empty()) loop.Quit();
      },
      [&form, &loop, &stopFailed](int) {
        ProcessEnding = true;
        // Quit comes whatever the stop does: a process left half stopped would serve no one.
        stopFailed = !form->StopForExit() || stopFailed;
        loop.Quit();
      });
  // Lines posted during the stop still reach the console.
  loop.Drain([&form](const TNPostedMessage& m) { form->HandleMessage(m); });
  TNThreadRegistry::Instance().WaitAll(30000);
  return form->FatalStop().empty() && !stopFailed ? 0 : 1;
}

int RunDesktop(const TCommandLine& cl, TDesktop& desktop, int argc, char** argv) {
  // The toolkit keeps a reference to the argument count for its whole life.
  static int qtArgc = argc;
  if (const int rc = desktop.Prepare(qtArgc, argv); rc != 0) return rc;

  TNSingleInstance instance;
  if (!AcquireInstance(instance)) return 1;

  TProcessModules pm;
  if (!pm.Create()) return 1;
  auto form = pm.MakeForm();
  int rc = 0;
  {
    // The services go before the form they hook into.
    TRunServices services{*form, StartAutomation(cl, *form), StartStatusServer(pm.data->File())};
    if (pm.options->KioOptions.OptionByName("AutoStartOnLoad").AsBool()) form->StartServer();

    rc = desktop.Run(*form, pm.Modules());
    // The operator can only exit a stopped server; a run still alive here (the main loop ended
    // some other way) is stopped before the modules go.
    if (ServerRunning) form->StopServer();
  }
  form.reset();
  TNThreadRegistry::Instance().WaitAll(30000);
  return rc;
}

} // namespace

int StartUp(int argc, char** argv, TDesktopFactory desktop) {
  // Before any thread starts, so that every thread inherits the mask and only the main loop's
  // signalfd sees SIGINT and SIGTERM.
  BlockStopSignals();
  // A closed standard output or a vanished peer must end a write with an error, never the
  // process: the network library happens to ignore SIGPIPE too, but nothing here relies on it.
  std::signal(SIGPIPE, SIG_IGN);

  if (argc > 1 && IsManagementCommand(argv[1]))
    return *RunManagementCommand({argv + 1, argv + argc}, std::cout, std::cerr);

  const TCommandLine cl = ParseCommandLine(argc, argv);
  if (!cl.error.empty()) {
    std::cerr << "VoxmitServer2: " << cl.error << "\n\n" << kUsage;
    return 2;
  }
  if (cl.help) {
    std::cout << kUsage << ManagementUsage();
    return 0;
  }
  if (cl.version) {
    std::cout << "VoxmitServer2 " << kVersion << "\n";
    return 0;
  }
  if (!PrepareHomeFolder(cl)) return 2;
  if (cl.createDatabase) return CreateDatabaseCommand();
  if (cl.regServer || cl.unregServer) return RegistrationCommand(cl);
  if (!cl.headless) {
    if (!desktop) {
      std::cerr << "VoxmitServer2: this build has no desktop interface; run with --headless\n";
      return 2;
    }
    return RunDesktop(cl, *desktop(), argc, argv);
  }
  return RunHeadless(cl);
}

} // namespace voxmit
