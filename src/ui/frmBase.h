#pragma once
// TFormBase: the base of the program's own windows. It remembers each window's size, position
// and maximised state in "FormSettings.ini" in the home folder, one section per window class,
// keys "Maximized", "Width", "Height", "Left", "Top" (and what a derived window adds, such as
// column widths). A stored position outside the usable screen area is replaced by the area's
// edge, so a window never comes back off screen.
//
// Threads: UI thread only. The settings file is one object per home folder, written through
// at every save (FormSettingsIni).

#include <QDialog>
#include <string>

#include "host/IniFile.h"

class QHeaderView;

namespace voxmit {

// The geometry file of the current home folder.
TIniFile& FormSettingsIni();

class TFormBase : public QDialog {
  Q_OBJECT
public:
  // section: the window's class name, its section in the file.
  TFormBase(std::string section, QWidget* parent = nullptr);

  const std::string& Section() const { return section_; }

  // Derived windows call LoadFormSettings at the end of their constructor (when their
  // controls exist); SaveFormSettings runs when the window is hidden by the program (closed,
  // accepted, rejected).
  virtual void LoadFormSettings();
  virtual void SaveFormSettings();
  virtual bool UseDesignSizeAsMinimum() const { return false; }

  // Column widths of a list under "Column%dWidth".
  void LoadColumnWidths(QHeaderView& header);
  void SaveColumnWidths(const QHeaderView& header);

protected:
  void hideEvent(QHideEvent* event) override;

private:
  std::string section_;
  bool loaded_ = false;
};

} // namespace voxmit
