#include "frmBase.h"

#include <QGuiApplication>
#include <QHeaderView>
#include <QHideEvent>
#include <QScreen>
#include <iostream>
#include <memory>

#include "platform/HomeFolder.h"

namespace voxmit {

TIniFile& FormSettingsIni() {
  static std::unique_ptr<TIniFile> ini;
  static std::filesystem::path home;
  if (!ini || home != HomeFolder()) {
    home = HomeFolder();
    try {
      ini = std::make_unique<TIniFile>(home / "FormSettings.ini");
    } catch (const std::exception& e) {
      // A file that exists but cannot be read costs the windows their remembered places, and
      // must not be overwritten: the windows use an empty copy that is never saved.
      std::cerr << "VoxmitServer2: " << e.what() << "\n";
      ini = std::make_unique<TIniFile>("/proc/self/FormSettings.ini");
    }
  }
  return *ini;
}

TFormBase::TFormBase(std::string section, QWidget* parent)
    : QDialog(parent), section_(std::move(section)) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowFlag(Qt::WindowMinMaxButtonsHint);
  setSizeGripEnabled(true);
}

void TFormBase::LoadFormSettings() {
  if (UseDesignSizeAsMinimum()) setMinimumSize(sizeHint());
  TIniFile& ini = FormSettingsIni();
  loaded_ = true;
  if (!ini.SectionExists(section_)) return;
  if (ini.ReadBool(section_, "Maximized", false)) {
    setWindowState(windowState() | Qt::WindowMaximized);
    return;
  }
  setWindowState(windowState() & ~Qt::WindowMaximized);
  const int w = ini.ReadInteger(section_, "Width", -1);
  const int h = ini.ReadInteger(section_, "Height", -1);
  if (w >= 0 && h >= 0) resize(w, h);
  int left = ini.ReadInteger(section_, "Left", x());
  int top = ini.ReadInteger(section_, "Top", y());
  const QScreen* screen = QGuiApplication::screenAt(QPoint(left, top));
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (screen) {
    const QRect area = screen->availableGeometry();
    if (left < area.left() || left > area.right()) left = area.left();
    if (top < area.top() || top > area.bottom()) top = area.top();
  }
  move(left, top);
}

void TFormBase::SaveFormSettings() {
  TIniFile& ini = FormSettingsIni();
  if (isMaximized()) {
    ini.WriteBool(section_, "Maximized", true);
  } else {
    ini.WriteBool(section_, "Maximized", false);
    ini.WriteInteger(section_, "Width", width());
    ini.WriteInteger(section_, "Height", height());
    ini.WriteInteger(section_, "Left", x());
    ini.WriteInteger(section_, "Top", y());
  }
  try {
    ini.UpdateFile();
  } catch (const std::exception&) {
    // A read-only home folder costs the window its remembered place, nothing more.
  }
}

void TFormBase::LoadColumnWidths(QHeaderView& header) {
  TIniFile& ini = FormSettingsIni();
  for (int i = 0; i < header.count(); ++i) {
    const int w = ini.ReadInteger(section_, "Column" + std::to_string(i) + "Width", -1);
    if (w > 0) header.resizeSection(i, w);
  }
}

void TFormBase::SaveColumnWidths(const QHeaderView& header) {
  TIniFile& ini = FormSettingsIni();
  for (int i = 0; i < header.count(); ++i)
    ini.WriteInteger(section_, "Column" + std::to_string(i) + "Width", header.sectionSize(i));
}

void TFormBase::hideEvent(QHideEvent* event) {
  // A hide the window system makes (minimising) is not a close.
  if (!event->spontaneous() && loaded_) SaveFormSettings();
  QDialog::hideEvent(event);
}

} // namespace voxmit
