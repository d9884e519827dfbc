#include "frmEmbedDirectTAPEditor.h"

#include <QApplication>
#include <QFormLayout>
#include <QPushButton>
#include <QSpinBox>

#include "MessageBoxes.h"
#include "SerialDeviceTest.h"
#include "common/CommaText.h"
#include "frmEmbedModemEditor.h"

namespace voxmit {

TFormEmbedDirectTAPEditor::TFormEmbedDirectTAPEditor() {
  edtComPortNo = MakeComPortSpin(this);
  btnTestDirectTAP = new QPushButton("Test &Device", this);
  auto* form = new QFormLayout(this);
  form->addRow("COM &Port No : ", edtComPortNo);
  form->addRow("", btnTestDirectTAP);
  connect(btnTestDirectTAP, &QPushButton::clicked, this, &TFormEmbedDirectTAPEditor::TestDevice);
}

std::string TFormEmbedDirectTAPEditor::GetDataAsCSVString() const {
  return JoinCommaText({"COM" + std::to_string(edtComPortNo->value())});
}

bool TFormEmbedDirectTAPEditor::PutDataAsCSVString(const std::string& text) {
  const std::vector<std::string> items = SplitCommaText(text);
  if (items.size() != 1) {
    ShowMessageBox(
        TMessageKind::Error,
        "TFormEmbedDirectTAPEditor.PutDataAsCSVString() - wrong CSV strings number!!!");
    return false;
  }
  edtComPortNo->setValue(PortNumberOf(items[0]));
  return true;
}

void TFormEmbedDirectTAPEditor::TestDevice() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const TSerialTestResult r =
      RunSerialTest(PortFromField(*edtComPortNo), {9600, 8, spNone, ssOne}, {{"\r", "ID="}});
  QApplication::restoreOverrideCursor();
  switch (r) {
    case TSerialTestResult::PortError:
      ShowMessageBox(TMessageKind::Error,
                     "ERROR: Can't initialize the COM port specified.\r\r Please check if it "
                     "exists on this PC, or if it's not used currently by some other "
                     "application !!!",
                     this);
      break;
    case TSerialTestResult::Failed:
      ShowMessageBox(TMessageKind::Error,
                     "ERROR: can't communicate with the DirectTAP device, check if the device "
                     "is connected to the COM-port specified and is powered !",
                     this);
      break;
    case TSerialTestResult::Passed:
      ShowMessageBox(TMessageKind::Information, "Congratulations, DirectTAP device test succeded!",
                     this);
      break;
  }
}

} // namespace voxmit
