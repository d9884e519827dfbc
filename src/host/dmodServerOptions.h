#pragma once
// The server's options: the one options component KioOptions, bound to Settings.ini in the
// home folder, declaring the 33 options and their apply handlers. Each handler copies its
// option's value into voxmit::settings (ServerSettings.h), where the other units read it.
//
// Threads: UI thread only. One instance per process, created at process start; while it
// exists DMServerOptions() returns it.

#include "host/KioOptions.h"

namespace voxmit {

class TDMServerOptions {
public:
  // Declares the options and loads Settings.ini.
  TDMServerOptions();
  // Saves the options (errors are reported on stderr, never thrown).
  ~TDMServerOptions();
  TDMServerOptions(const TDMServerOptions&) = delete;
  TDMServerOptions& operator=(const TDMServerOptions&) = delete;

  TKioOptions KioOptions;

  // The process's exit ends without saving: the file may have been edited by hand while the
  // server ran, and the values in memory are only ever saved by the options dialog's OK.
  bool SaveOnDestroy = true;

  // Runs every handler once. With starting set (StartServer), the LogToFile handler only
  // records the flag: the server opens the log itself once the log folder and limits are set.
  void ApplyAllValues(bool starting);
  bool Starting() const { return starting_; }

private:
  void Declare(const char* section, const char* name, TNOptionKind kind, TNVariant def,
               TNOption::TOnApplyChangesEvent handler);
  void DeclareOptions();

  void OnApplyLogToFile(TNOption& sender);
  void OnApplyLogFilesFolder(TNOption& sender);
  void OnApplyLogFilesNo(TNOption& sender);
  void OnApplyLogFilesMaxLines(TNOption& sender);
  // The wait slice of every thread, at least settings::MinWaitSliceMs.
  void OnApplyThreadWaitLoopTimeout(TNOption& sender);
  void OnApplyMaxUnsentMessageAge(TNOption& sender);
  void OnApplyMaxUnconfirmedMessageAge(TNOption& sender);
  void OnApplyMaxArchivedMessageAge(TNOption& sender);
  void OnApplyMaintenancePeriod(TNOption& sender);
  void OnApplyMaxConnections(TNOption& sender);

  bool starting_ = false;
};

// The process's instance, or nullptr when none exists.
TDMServerOptions* DMServerOptions();

} // namespace voxmit
