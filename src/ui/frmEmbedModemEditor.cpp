#include "frmEmbedModemEditor.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSpinBox>
#include <fstream>

#include "MessageBoxes.h"
#include "SerialDeviceTest.h"
#include "common/CommaText.h"
#include "frmServerOptions.h"
#include "platform/HomeFolder.h"

namespace voxmit {

QSpinBox* MakeComPortSpin(QWidget* parent) {
  auto* spin = new QSpinBox(parent);
  spin->setRange(1, 255);
  spin->setValue(1);
  TDigitsOnlyFilter::Install(*spin);
  return spin;
}

std::string PortFromField(const QSpinBox& spin) {
  return "COM" + spin.text().trimmed().toStdString();
}

int PortNumberOf(const std::string& item) {
  bool ok = false;
  const int n = QString::fromStdString(item.size() > 3 ? item.substr(3) : "").toInt(&ok);
  return ok ? n : 1;
}

namespace {

QStringList InitStrings() {
  QStringList list;
  std::ifstream in(HomeFolder() / "ModemInitStrings.txt");
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) list << QString::fromStdString(line);
  }
  if (list.isEmpty()) list << "ATQ0V1M1E0X4" << "ATQ0V1";
  return list;
}

int IntOr(const std::string& text, int fallback) {
  bool ok = false;
  const int n = QString::fromStdString(text).trimmed().toInt(&ok);
  return ok ? n : fallback;
}

} // namespace

TFormEmbedModemEditor::TFormEmbedModemEditor() {
  edtComPortNo = MakeComPortSpin(this);
  cbInitString = new QComboBox(this);
  cbInitString->setEditable(true);
  cbInitString->addItems(InitStrings());
  cbInitString->setCurrentIndex(0);
  edtDialingPrefix = new QLineEdit(this);
  edtDialingPrefix->setValidator(
      new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edtDialingPrefix));
  chkWaitForDialTone = new QCheckBox("&Wait for Dial Tone", this);
  edtRedialAttempts = new QLineEdit("3", this);
  edtRedialAttempts->setValidator(new QIntValidator(1, 32000, edtRedialAttempts));
  edtRedialDelay = new QLineEdit("1", this);
  edtRedialDelay->setValidator(new QIntValidator(1, 32000, edtRedialDelay));
  btnTestModem = new QPushButton("Test &Modem", this);

  auto* form = new QFormLayout(this);
  form->addRow("COM &Port No : ", edtComPortNo);
  form->addRow("&Init String : ", cbInitString);
  form->addRow("Dialing Prefi&x : ", edtDialingPrefix);
  form->addRow("", chkWaitForDialTone);
  form->addRow("Redial &Attempts : ", edtRedialAttempts);
  auto* delay = new QHBoxLayout;
  delay->addWidget(edtRedialDelay);
  delay->addWidget(new QLabel("(seconds)"));
  auto* delayLabel = new QLabel("Redial &Delay : ", this);
  delayLabel->setBuddy(edtRedialDelay);
  form->addRow(delayLabel, delay);
  form->addRow("", btnTestModem);

  connect(edtDialingPrefix, &QLineEdit::textChanged, this,
          &TFormEmbedModemEditor::ApplyDialToneRule);
  connect(btnTestModem, &QPushButton::clicked, this, &TFormEmbedModemEditor::TestModem);
  ApplyDialToneRule();
}

void TFormEmbedModemEditor::ApplyDialToneRule() {
  const bool prefix = !edtDialingPrefix->text().trimmed().isEmpty();
  chkWaitForDialTone->setEnabled(prefix);
  if (!prefix) chkWaitForDialTone->setChecked(false);
}

std::string TFormEmbedModemEditor::GetDataAsCSVString() const {
  return JoinCommaText({"COM" + std::to_string(edtComPortNo->value()),
                        cbInitString->currentText().trimmed().toStdString(),
                        edtDialingPrefix->text().trimmed().toStdString(),
                        chkWaitForDialTone->isChecked() ? "true" : "false",
                        edtRedialAttempts->text().toStdString(),
                        edtRedialDelay->text().toStdString()});
}

bool TFormEmbedModemEditor::PutDataAsCSVString(const std::string& text) {
  const std::vector<std::string> items = SplitCommaText(text);
  if (items.size() != 6) {
    ShowMessageBox(TMessageKind::Error,
                   "TFormEmbedModemEditor.PutDataAsCSVString() - wrong CSV strings number!!!");
    return false;
  }
  edtComPortNo->setValue(PortNumberOf(items[0]));
  cbInitString->setEditText(QString::fromStdString(items[1]));
  edtDialingPrefix->setText(QString::fromStdString(items[2]));
  chkWaitForDialTone->setChecked(QString::fromStdString(items[3]).toLower() == "true");
  edtRedialAttempts->setText(QString::number(IntOr(items[4], 3)));
  edtRedialDelay->setText(QString::number(IntOr(items[5], 1)));
  ApplyDialToneRule();
  return true;
}

void TFormEmbedModemEditor::TestModem() {
  const std::string init = cbInitString->currentText().trimmed().toStdString();
  const TSerialLineSettings line{1200, 7, spEven, ssOne};
  QApplication::setOverrideCursor(Qt::WaitCursor);
  size_t failedAt = 0;
  const TSerialTestResult r = RunSerialTest(
      PortFromField(*edtComPortNo), line,
      {{"AT&F\r", "OK\r"}, {"ATV1&D2\r", "OK\r"}, {"AT&F\r", "OK\r"}, {init + "V1&D2\r", "OK\r"}},
      &failedAt);
  QApplication::restoreOverrideCursor();
  switch (r) {
    case TSerialTestResult::PortError:
      ShowMessageBox(TMessageKind::Error,
                     "Can't initialize the COM port specified.\r\r Please check if it exists on "
                     "this PC, or if it's not used currently by some other application !!!",
                     this);
      break;
    case TSerialTestResult::Failed:
      ShowMessageBox(TMessageKind::Error,
                     failedAt < 2 ? "Can't communicate with the modem.\r\rPlease check if it is "
                                    "connected to the specified COM port and switched on."
                                  : "Modem doesn't recognize your Init String.\r\rPlease check "
                                    "if your Init String Format is OK",
                     this);
      break;
    case TSerialTestResult::Passed:
      ShowMessageBox(TMessageKind::Information,
                     "Congratulations, Modem test succeded!\r\r(Please note that this test "
                     "doesn't check the actual phone line connection.)",
                     this);
      break;
  }
}

} // namespace voxmit
