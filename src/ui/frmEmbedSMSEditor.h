#pragma once
// The settings of a GSM modem (kind 3): port, and the positions of the chosen baud rate,
// module and SMS mode; and the device test at the chosen rate. UI thread only.

#include "frmBaseEmbedEditor.h"

class QComboBox;
class QPushButton;
class QSpinBox;

namespace voxmit {

class TFormEmbedSMSEditor : public TFormBaseEmbedEditor {
  Q_OBJECT
public:
  TFormEmbedSMSEditor();
  std::string GetDataAsCSVString() const override;
  bool PutDataAsCSVString(const std::string& text) override;
  void TestSMS();

  QSpinBox* edtComPortNo;
  QComboBox* cbBaudRate;
  QComboBox* cbSMSMode;
  QComboBox* cbSMSModule;
  QPushButton* btnTestSMS;
};

} // namespace voxmit
