#include "QtOperatorUi.h"

#include <QApplication>
#include <QThread>

#include "MessageBoxes.h"
#include "TrayIcons.h"

namespace voxmit {

TQtOperatorUi::TQtOperatorUi() {
  for (TTrayIcon i : {tiRunning, tiStopped, tiRunningFlash, tiStoppedFlash})
    icons_[static_cast<size_t>(i)] = MakeTrayIcon(i);
  tray_.setIcon(icons_[tiStopped]);
}

TQtOperatorUi::~TQtOperatorUi() {
  if (busyShown_) QApplication::restoreOverrideCursor();
  tray_.hide();
}

bool TQtOperatorUi::OnUiThread() const { return QThread::currentThread() == thread(); }

template <class Fn>
void TQtOperatorUi::OnUi(Fn fn) {
  if (OnUiThread())
    fn();
  else
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

void TQtOperatorUi::ShowWarning(const std::string& text) {
  OnUi([text] { ShowMessageBox(TMessageKind::Warning, text); });
}

void TQtOperatorUi::SetTrayTip(const std::string& tip) {
  {
    std::lock_guard lock(mutex_);
    tip_ = tip;
  }
  OnUi([this, tip] { tray_.setToolTip(QString::fromStdString(tip)); });
}

void TQtOperatorUi::SetTrayIcon(TTrayIcon icon) {
  {
    std::lock_guard lock(mutex_);
    icon_ = icon;
  }
  OnUi([this, icon] { tray_.setIcon(icons_[static_cast<size_t>(icon)]); });
}

void TQtOperatorUi::SetBusyCursor(bool busy) {
  OnUi([this, busy] {
    if (busy == busyShown_) return;
    busyShown_ = busy;
    if (busy)
      QApplication::setOverrideCursor(Qt::WaitCursor);
    else
      QApplication::restoreOverrideCursor();
  });
}

std::string TQtOperatorUi::TrayTip() const {
  std::lock_guard lock(mutex_);
  return tip_;
}

TTrayIcon TQtOperatorUi::TrayIcon() const {
  std::lock_guard lock(mutex_);
  return icon_;
}

} // namespace voxmit
