#include "platform/OperatorUi.h"

#include <algorithm>
#include <iostream>

namespace voxmit {

void THeadlessOperatorUi::ShowWarning(const std::string& text) {
  std::string shown = text;
  std::replace(shown.begin(), shown.end(), '\r', '\n');
  std::lock_guard lock(mutex_);
  lastWarning_ = text;
  std::cerr << shown << std::endl;
}

void THeadlessOperatorUi::SetTrayTip(const std::string& tip) {
  std::lock_guard lock(mutex_);
  const bool changed = tip != tip_;
  tip_ = tip;
  if (changed && echoTip_) std::cout << tip << std::endl;
}

void THeadlessOperatorUi::SetTrayIcon(TTrayIcon icon) {
  std::lock_guard lock(mutex_);
  icon_ = icon;
}

void THeadlessOperatorUi::SetBusyCursor(bool busy) {
  std::lock_guard lock(mutex_);
  busy_ = busy;
}

std::string THeadlessOperatorUi::TrayTip() const {
  std::lock_guard lock(mutex_);
  return tip_;
}

TTrayIcon THeadlessOperatorUi::TrayIcon() const {
  std::lock_guard lock(mutex_);
  return icon_;
}

bool THeadlessOperatorUi::BusyCursor() const {
  std::lock_guard lock(mutex_);
  return busy_;
}

std::string THeadlessOperatorUi::LastWarning() const {
  std::lock_guard lock(mutex_);
  return lastWarning_;
}

void THeadlessOperatorUi::SetEchoTrayTip(bool echo) {
  std::lock_guard lock(mutex_);
  echoTip_ = echo;
}

namespace {

std::unique_ptr<TOperatorUi>& Installed() {
  static std::unique_ptr<TOperatorUi> ui = std::make_unique<THeadlessOperatorUi>();
  return ui;
}

} // namespace

TOperatorUi& OperatorUi() { return *Installed(); }

void SetOperatorUi(std::unique_ptr<TOperatorUi> ui) {
  Installed() = ui ? std::move(ui) : std::make_unique<THeadlessOperatorUi>();
}

void SetServerStatusTip(const std::string& status) {
  constexpr size_t kTrayTipMax = 127;
  std::string tip = "VoxmitServer - " + status;
  if (tip.size() > kTrayTipMax) tip.resize(kTrayTipMax);
  OperatorUi().SetTrayTip(tip);
}

} // namespace voxmit
