#pragma once
// TFormServerOptions: the operator's editor of Settings.ini. Each control writes its option's
// Value as soon as it changes (converted to the stored unit); OK applies and saves every
// changed option, Cancel puts every option back to its saved value, closing the window
// through its frame does neither (the edited values stay current, unsaved). The "Load
// VoxmitServer on login" box writes or removes the autostart entry at once.
//
// Threads: UI thread only. The dialog uses the options component it is given, which outlives
// it.

#include <QString>
#include <map>
#include <string>

#include "frmBase.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;

namespace voxmit {

class TKioOptions;

// Numeric fields accept only digits, backspace and Enter; other keys that type text are
// dropped. Installed on each spin box of the dialog (and usable by other editors).
class TDigitsOnlyFilter : public QObject {
  Q_OBJECT
public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override;
  // Installs a filter on the spin box and its text field.
  static void Install(QSpinBox& box);
};

class TFormServerOptions : public TFormBase {
  Q_OBJECT
public:
  TFormServerOptions(TKioOptions& options, QWidget* parent = nullptr);

  // The spin box (or check box, text field) editing an option; for the three ages the field
  // name adds ".Days", ".Hours" or ".Minutes" to the option name.
  QSpinBox* Spin(const std::string& field) const { return spins_.at(field); }
  QCheckBox* Check(const std::string& option) const { return checks_.at(option); }
  QLineEdit* edtLogFilesFolder;
  QCheckBox* chkLoadOnLogin;
  QTabWidget* pgOptions;
  QPushButton* btnOK = nullptr;
  QPushButton* btnCancel;

  bool RestartNeeded() const { return restartNeeded_; }

  void OkClick();
  void CancelClick();

protected:
  void LoadFormSettings() override;
  void SaveFormSettings() override;

private:
  QWidget* Page(const QString& title);
  void AddCheck(const QString& page, const QString& caption, const char* option);
  void AddNumber(const QString& page, const QString& caption, const char* option, int min,
                 int max, int step, const QString& unit, int scale);
  void AddAge(const QString& caption, const char* option, int maxHours, int minMinutes);
  void AddLogFolder();
  void AddLoadOnLogin();
  void SetValue(const char* option, int64_t value);
  void UpdateOk();

  TKioOptions& options_;
  std::map<std::string, QSpinBox*> spins_;
  std::map<std::string, QCheckBox*> checks_;
  std::map<QString, QWidget*> pages_;
  bool loadOnLoginAtOpen_ = false;
  bool restartNeeded_ = false;
};

} // namespace voxmit
