#pragma once
// The settings of a direct serial line to a paging terminal (kind 2): the port; and the
// device test. UI thread only.

#include "frmBaseEmbedEditor.h"

class QPushButton;
class QSpinBox;

namespace voxmit {

class TFormEmbedDirectTAPEditor : public TFormBaseEmbedEditor {
  Q_OBJECT
public:
  TFormEmbedDirectTAPEditor();
  std::string GetDataAsCSVString() const override;
  bool PutDataAsCSVString(const std::string& text) override;
  void TestDevice();

  QSpinBox* edtComPortNo;
  QPushButton* btnTestDirectTAP;
};

} // namespace voxmit
