#pragma once
// The operator interface of the desktop run: warnings are message boxes, the tray tip and icon
// are those of the real tray icon, the busy cursor is the application's override cursor.
//
// Threads: created and destroyed on the UI thread; every TOperatorUi operation is safe from
// any thread (a call from another thread is queued to the UI thread; the state readers answer
// at once under mutex_).

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>
#include <array>
#include <mutex>

#include "platform/OperatorUi.h"

namespace voxmit {

class TQtOperatorUi : public QObject, public TOperatorUi {
  Q_OBJECT
public:
  TQtOperatorUi();
  ~TQtOperatorUi() override;

  void ShowWarning(const std::string& text) override;
  void SetTrayTip(const std::string& tip) override;
  void SetTrayIcon(TTrayIcon icon) override;
  void SetBusyCursor(bool busy) override;
  std::string TrayTip() const override;
  TTrayIcon TrayIcon() const override;

  // The tray icon (shown by the desktop once its menu is attached). UI thread.
  QSystemTrayIcon& Tray() { return tray_; }

private:
  bool OnUiThread() const;
  // Runs fn on the UI thread: at once when called there, else queued.
  template <class Fn>
  void OnUi(Fn fn);

  QSystemTrayIcon tray_;
  std::array<QIcon, 4> icons_;
  bool busyShown_ = false;  // UI thread

  mutable std::mutex mutex_;
  std::string tip_;
  TTrayIcon icon_ = tiStopped;
};

} // namespace voxmit
