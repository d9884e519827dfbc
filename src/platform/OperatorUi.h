#pragma once
// What the server shows the operator: warnings, the tray tip, the tray icon, the busy cursor.
// The Qt interface implements it with widgets; headless mode prints warnings to stderr and
// keeps the rest in memory so tests and the console can read it. Safe to call from any thread.

#include <memory>
#include <mutex>
#include <string>

namespace voxmit {

// Icon indexes of the tray image list.
enum TTrayIcon : int { tiRunning = 0, tiStopped = 1, tiRunningFlash = 2, tiStoppedFlash = 3 };

class TOperatorUi {
public:
  virtual ~TOperatorUi() = default;
  virtual void ShowWarning(const std::string& text) = 0;
  virtual void SetTrayTip(const std::string& tip) = 0;
  virtual void SetTrayIcon(TTrayIcon icon) = 0;
  virtual void SetBusyCursor(bool busy) = 0;
  virtual std::string TrayTip() const = 0;
  virtual TTrayIcon TrayIcon() const = 0;
};

// Warnings go to stderr with each "\r" as a line break. mutex_ guards every field.
class THeadlessOperatorUi : public TOperatorUi {
public:
  void ShowWarning(const std::string& text) override;
  void SetTrayTip(const std::string& tip) override;
  void SetTrayIcon(TTrayIcon icon) override;
  void SetBusyCursor(bool busy) override;
  std::string TrayTip() const override;
  TTrayIcon TrayIcon() const override;
  bool BusyCursor() const;
  std::string LastWarning() const;
  // When set, a changed tray tip is also printed to stdout (the console run).
  void SetEchoTrayTip(bool echo);

private:
  mutable std::mutex mutex_;
  std::string tip_;
  TTrayIcon icon_ = tiStopped;
  bool busy_ = false;
  bool echoTip_ = false;
  std::string lastWarning_;
};

// The process-wide operator interface; headless until something else is installed.
// SetOperatorUi belongs to process start (before any thread runs, since it destroys the
// previous interface); nullptr puts a fresh headless one back.
TOperatorUi& OperatorUi();
void SetOperatorUi(std::unique_ptr<TOperatorUi> ui);

// Shows a server status in the tray tip: "VoxmitServer - " and the status, cut to the 127
// characters a tray tip holds.
void SetServerStatusTip(const std::string& status);

} // namespace voxmit
