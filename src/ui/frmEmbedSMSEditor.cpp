#include "frmEmbedSMSEditor.h"

#include <QApplication>
#include <QComboBox>
#include <QFormLayout>
#include <QPushButton>
#include <QSpinBox>

#include "MessageBoxes.h"
#include "SerialDeviceTest.h"
#include "common/CommaText.h"
#include "frmEmbedModemEditor.h"

namespace voxmit {

namespace {
int IntOr(const std::string& text, int fallback) {
  bool ok = false;
  const int n = QString::fromStdString(text).trimmed().toInt(&ok);
  return ok ? n : fallback;
}
}

TFormEmbedSMSEditor::TFormEmbedSMSEditor() {
  edtComPortNo = MakeComPortSpin(this);
  cbBaudRate = new QComboBox(this);
  cbBaudRate->addItems(
      {"1200", "2400", "4800", "9600", "14400", "19200", "38400", "57600", "115200"});
  cbBaudRate->setCurrentText("57600");
  cbSMSMode = new QComboBox(this);
  cbSMSMode->addItems({"Text", "PDU"});
  cbSMSModule = new QComboBox(this);
  cbSMSModule->addItems(
      {"Unknown", "Nokia", "Wavecom", "Ericsson", "Simens", "Motorola", "SIMcom"});
  btnTestSMS = new QPushButton("Test SMS &Device", this);
  auto* form = new QFormLayout(this);
  form->addRow("COM &Port No : ", edtComPortNo);
  form->addRow("&Baud Rate:", cbBaudRate);
  form->addRow("S&MS Mode:", cbSMSMode);
  form->addRow("SMS Mo&dule:", cbSMSModule);
  form->addRow("", btnTestSMS);
  connect(btnTestSMS, &QPushButton::clicked, this, &TFormEmbedSMSEditor::TestSMS);
}

std::string TFormEmbedSMSEditor::GetDataAsCSVString() const {
  return JoinCommaText({"COM" + std::to_string(edtComPortNo->value()),
                        std::to_string(cbBaudRate->currentIndex()),
                        std::to_string(cbSMSModule->currentIndex()),
                        std::to_string(cbSMSMode->currentIndex())});
}

bool TFormEmbedSMSEditor::PutDataAsCSVString(const std::string& text) {
  const std::vector<std::string> items = SplitCommaText(text);
  if (items.size() != 4) {
    ShowMessageBox(TMessageKind::Error,
                   "TFormEmbedSMSEditor.PutDataAsCSVString() - wrong CSV strings number!!!");
    return false;
  }
  edtComPortNo->setValue(PortNumberOf(items[0]));
  cbBaudRate->setCurrentIndex(IntOr(items[1], -1));
  cbSMSModule->setCurrentIndex(IntOr(items[2], -1));
  cbSMSMode->setCurrentIndex(IntOr(items[3], -1));
  return true;
}

void TFormEmbedSMSEditor::TestSMS() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const TSerialTestResult r = RunSerialTest(
      PortFromField(*edtComPortNo), {cbBaudRate->currentText().toInt(), 8, spNone, ssOne},
      {{"AT\r\n", "\r\nOK\r\n"}, {"ATE\r\n", "\r\nOK\r\n"}, {"AT+CMEE=1\r\n", "\r\nOK\r\n"}});
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
                     "ERROR: can't communicate with the SMS device, check if the device is "
                     "connected to the COM-port specified and is powered !",
                     this);
      break;
    case TSerialTestResult::Passed:
      ShowMessageBox(TMessageKind::Information, "Congratulations, SMS device test succeeded!",
                     this);
      break;
  }
}

} // namespace voxmit
