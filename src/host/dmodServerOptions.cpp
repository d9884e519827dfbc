#include "host/dmodServerOptions.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <iostream>

#include <Poco/String.h>

#include "host/LogFile.h"
#include "host/ServerSettings.h"
#include "platform/HomeFolder.h"

namespace voxmit {

namespace {

TDMServerOptions* instance = nullptr;

TNOption::TOnApplyChangesEvent IntegerInto(std::atomic<int32_t>& setting) {
  return [&setting](TNOption& sender) { setting = sender.AsInteger(); };
}

TNOption::TOnApplyChangesEvent BoolInto(std::atomic<bool>& setting) {
  return [&setting](TNOption& sender) { setting = sender.AsBool(); };
}

// The options whose handler copies the value into its setting unchanged.
struct TPlainOption {
  const char* Section;
  const char* Name;
  int64_t Default;
  std::atomic<int32_t>* Setting;
};

} // namespace

TDMServerOptions* DMServerOptions() { return instance; }

TDMServerOptions::TDMServerOptions() {
  DeclareOptions();
  KioOptions.LoadOptions();
  instance = this;
}

TDMServerOptions::~TDMServerOptions() {
  if (instance == this) instance = nullptr;
  if (!SaveOnDestroy) return;
  try {
    KioOptions.SaveOptions();
  } catch (const std::exception& e) {
    std::cerr << "Settings not saved: " << e.what() << std::endl;
  }
}

void TDMServerOptions::ApplyAllValues(bool starting) {
  starting_ = starting;
  try {
    KioOptions.ApplyAllValues();
  } catch (...) {
    starting_ = false;
    throw;
  }
  starting_ = false;
}

void TDMServerOptions::Declare(const char* section, const char* name, TNOptionKind kind,
                               TNVariant def, TNOption::TOnApplyChangesEvent handler) {
  TNOption& option = KioOptions.Options().Add();
  option.SetSectionName(section);
  option.SetName(name);
  option.SetKind(kind);
  option.SetDefaultValue(def);
  option.OnApplyChanges = std::move(handler);
}

void TDMServerOptions::DeclareOptions() {
  using namespace settings;
  auto member = [this](void (TDMServerOptions::*handler)(TNOption&)) {
    return TNOption::TOnApplyChangesEvent(std::bind_front(handler, this));
  };
  auto plain = [this](std::initializer_list<TPlainOption> options) {
    for (const TPlainOption& o : options)
      Declare(o.Section, o.Name, okInteger, o.Default, IntegerInto(*o.Setting));
  };

  Declare("Database", "CompactDatabaseOnStart", okBool, std::string("true"), nullptr);
  Declare("Connections", "PortNo", okInteger, int64_t{215}, nullptr);
  Declare("Log", "LogToFile", okBool, false, member(&TDMServerOptions::OnApplyLogToFile));
  Declare("Log", "LogFilesFolder", okString, std::string(),
          member(&TDMServerOptions::OnApplyLogFilesFolder));
  Declare("Log", "LogFileMaxLines", okInteger, int64_t{10000},
          member(&TDMServerOptions::OnApplyLogFilesMaxLines));
  Declare("Log", "LogFilesNo", okInteger, int64_t{5}, member(&TDMServerOptions::OnApplyLogFilesNo));
  Declare("Log", "LogZeroCarrier", okBool, false, BoolInto(LogZeroCarrier));
  Declare("Log", "AddDateToMsg", okBool, true, BoolInto(AddDateToMsg));
  plain({
      {"Threads", "SchedulerRequeryPeriod", 10000, &SchedulerRequeryPeriod},
      {"Threads", "SentConfirmationsRequeryPeriod", 10000, &SentConfirmationsRequeryPeriod},
  });
  Declare("Threads", "ThreadWaitLoopTimeout", okInteger, int64_t{2000},
          member(&TDMServerOptions::OnApplyThreadWaitLoopTimeout));
  plain({
      {"Modem", "ModemConnectTimeout", 30000, &ModemConnectTimeout},
      {"Modem", "ModemDisconnectTimeout", 10000, &ModemDisconnectTimeout},
      {"Modem", "DtrHangupDelay", 3000, &DtrHangupDelay},
      {"Modem", "ModemResponseTimeout", 2000, &ModemResponseTimeout},
      {"Channels", "LogonRetries", 3, &LogonRetries},
      {"Channels", "MessageRetries", 3, &MessageRetries},
      {"PACNET", "MaxMessagesPerConnectionPACNET", 10000, &MaxMessagesPerConnectionPACNET},
      {"PACNET", "HeraldTimeoutPACNET", 20000, &HeraldTimeoutPACNET},
      {"PACNET", "LogonTimeoutPACNET", 15000, &LogonTimeoutPACNET},
      {"PACNET", "SendMessageTimeoutPACNET", 15000, &SendMessageTimeoutPACNET},
      {"TAP", "MaxMessagesPerConnectionTAP", 9, &MaxMessagesPerConnectionTAP},
  });
  Declare("Maintenance", "MaxUnsentMessageAge", okInteger, int64_t{60},
          member(&TDMServerOptions::OnApplyMaxUnsentMessageAge));
  Declare("Maintenance", "MaxUnconfirmedMessageAge", okInteger, int64_t{1440},
          member(&TDMServerOptions::OnApplyMaxUnconfirmedMessageAge));
  Declare("Maintenance", "MaxArchivedMessageAge", okInteger, int64_t{10080},
          member(&TDMServerOptions::OnApplyMaxArchivedMessageAge));
  Declare("Maintenance", "MaintenancePeriod", okInteger, int64_t{20},
          member(&TDMServerOptions::OnApplyMaintenancePeriod));
  plain({
      {"Channels", "OutputBufferLimit", 1000, &OutputBufferLimit},
      {"PACNET", "InputBufferLimitPACNET", 1000, &InputBufferLimitPACNET},
      {"TAP", "InputBufferLimitTAP", 27, &InputBufferLimitTAP},
  });
  Declare("Start", "AutoStartOnLoad", okBool, false, nullptr);
  plain({
      {"SMS", "InputBufferLimitSMS", 200, &InputBufferLimitSMS},
      {"SMS", "MaxMessagesPerConnectionSMS", 50, &MaxMessagesPerConnectionSMS},
  });
  Declare("Connections", "MaxConnections", okInteger, int64_t{1000},
          member(&TDMServerOptions::OnApplyMaxConnections));
}

void TDMServerOptions::OnApplyLogToFile(TNOption& sender) {
  settings::LogToFile = sender.AsBool();
  if (starting_) return;
  if (settings::LogToFile)
    OpenLog();
  else
    CloseLog();
}

void TDMServerOptions::OnApplyLogFilesFolder(TNOption& sender) {
  const std::string text = Poco::trim(sender.AsString());
  if (text.empty()) {
    SetLogFolder({});
    return;
  }
  // A relative folder is taken from the home folder, not from wherever the process started.
  const std::filesystem::path folder = HomeFolder() / text;
  std::error_code ec;
  if (std::filesystem::is_directory(folder, ec)) {
    SetLogFolder(folder);
  } else {
    SetLogFolder({});
    sender.Value = std::string();
  }
}

// Fewer than one file (or one line per file) would leave no file to write to.
void TDMServerOptions::OnApplyLogFilesNo(TNOption& sender) {
  settings::LogFilesNoMax = std::max(sender.AsInteger(), 1) - 1;
}

void TDMServerOptions::OnApplyLogFilesMaxLines(TNOption& sender) {
  settings::LogFileMaxLines = std::max(sender.AsInteger(), 1);
}

void TDMServerOptions::OnApplyThreadWaitLoopTimeout(TNOption& sender) {
  settings::ThreadWaitLoopTimeout = std::max(sender.AsInteger(), settings::MinWaitSliceMs);
}

// A limit below 1 would refuse every client.
void TDMServerOptions::OnApplyMaxConnections(TNOption& sender) {
  settings::MaxConnections = std::max(sender.AsInteger(), 1);
}

void TDMServerOptions::OnApplyMaxUnsentMessageAge(TNOption& sender) {
  settings::MaxUnsentMessageAge = sender.AsInteger();
  settings::ClampMaintenancePeriod();
}

void TDMServerOptions::OnApplyMaxUnconfirmedMessageAge(TNOption& sender) {
  settings::MaxUnconfirmedMessageAge = sender.AsInteger();
  settings::ClampMaintenancePeriod();
}

void TDMServerOptions::OnApplyMaxArchivedMessageAge(TNOption& sender) {
  settings::MaxArchivedMessageAge = sender.AsInteger();
  settings::ClampMaintenancePeriod();
}

void TDMServerOptions::OnApplyMaintenancePeriod(TNOption& sender) {
  settings::MaintenancePeriod = sender.AsInteger();
  settings::ClampMaintenancePeriod();
}

} // namespace voxmit
