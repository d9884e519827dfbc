#pragma once
// The settings of a modem device (kind 1): port, init string, dialling prefix, wait for dial
// tone, redial attempts and delay; and the modem test. UI thread only.

#include "frmBaseEmbedEditor.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace voxmit {

class TFormEmbedModemEditor : public TFormBaseEmbedEditor {
  Q_OBJECT
public:
  TFormEmbedModemEditor();
  std::string GetDataAsCSVString() const override;
  bool PutDataAsCSVString(const std::string& text) override;
  void TestModem();

  QSpinBox* edtComPortNo;
  QComboBox* cbInitString;
  QLineEdit* edtDialingPrefix;
  QCheckBox* chkWaitForDialTone;
  QLineEdit* edtRedialAttempts;
  QLineEdit* edtRedialDelay;
  QPushButton* btnTestModem;

private:
  void ApplyDialToneRule();
};

// The port number spin box the serial editors share: from 1, digits only.
QSpinBox* MakeComPortSpin(QWidget* parent);
// "COM" and the port field's text as typed (the hardware tests use it so).
std::string PortFromField(const QSpinBox& spin);
// The port number of a "COMn" item (characters from the fourth on); 1 when not a number.
int PortNumberOf(const std::string& item);

} // namespace voxmit
