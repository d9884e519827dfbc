#include "frmServerOptions.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "AutoStartEntry.h"
#include "MessageBoxes.h"
#include "host/KioOptions.h"
#include "platform/HomeFolder.h"
#include "server/frmHidden.h"

namespace voxmit {

namespace {

// Options whose change needs a restart whatever the server's state (the buffers are sized at
// start), and the port, which needs one only while the server listens.
bool NeedsRestart(const std::string& option) {
  return option == "OutputBufferLimit" || option == "InputBufferLimitPACNET" ||
         option == "InputBufferLimitTAP" || option == "InputBufferLimitSMS" ||
         (option == "PortNo" && ServerRunning);
}

std::filesystem::path ExecutablePath() {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec);
}

} // namespace

bool TDigitsOnlyFilter::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const QString text = static_cast<QKeyEvent*>(event)->text();
    if (!text.isEmpty() && text[0].isPrint() && !text[0].isDigit()) return true;
  }
  return QObject::eventFilter(watched, event);
}

void TDigitsOnlyFilter::Install(QSpinBox& box) {
  auto* filter = new TDigitsOnlyFilter(&box);
  box.installEventFilter(filter);
  for (QLineEdit* edit : box.findChildren<QLineEdit*>()) edit->installEventFilter(filter);
}

TFormServerOptions::TFormServerOptions(TKioOptions& options, QWidget* parent)
    : TFormBase("TFormServerOptions", parent), options_(options) {
  setWindowTitle(" VoxmitServer Options");
  pgOptions = new QTabWidget(this);
  for (const char* page : {"Start", "Connections", "Logs", "Threads", "Modem", "All Channels",
                           "PACNET", "TAP", "SMS", "Maintenance"})
    Page(page);

  AddCheck("Start", "Automatically &Compact Database On Start", "CompactDatabaseOnStart");
  AddLoadOnLogin();
  AddCheck("Start", "Automatically Start (activate) DeduzevEraziz when loaded",
           "AutoStartOnLoad");
  AddNumber("Connections", "TCP &Port Number (215 by def.) : ", "PortNo", 0, 65535, 1, "", 1);
  AddLogFolder();
  AddCheck("Logs", "&Log to File", "LogToFile");
  AddNumber("Logs", "&Max lines per log file : ", "LogFileMaxLines", 1000, 32767, 1000,
            "lines", 1);
  AddNumber("Logs", "&Number of Log Files to keep : ", "LogFilesNo", 1, 100, 1, "files", 1);
  AddCheck("Logs", "Add &DateTime to Messages", "AddDateToMsg");
  AddCheck("Logs", "Log &Zero Carriers", "LogZeroCarrier");
  AddNumber("Threads", "&Thread wait loop timeout (msec): ", "ThreadWaitLoopTimeout", 100,
            32000, 1, "milliseconds", 1);
  AddNumber("Threads", "&Scheduler Requery Period (sec) :", "SchedulerRequeryPeriod", 1, 32000,
            1, "seconds", 1000);
  AddNumber("Threads", "Sent &confirmations Requery Period (sec) : ",
            "SentConfirmationsRequeryPeriod", 1, 32000, 1, "seconds", 1000);
  AddNumber("Modem", "Modem &Response Timeout (msec) : ", "ModemResponseTimeout", 100, 32000,
            100, "milliseconds", 1);
  AddNumber("Modem", "Modem &Connect Timeout (sec) : ", "ModemConnectTimeout", 10, 32000, 1,
            "seconds", 1000);
  AddNumber("Modem", "Modem &Disconnect Timeout  (sec): ", "ModemDisconnectTimeout", 1, 32000,
            1, "seconds", 1000);
  AddNumber("Modem", "After DTR &hang-up delay (msec) : ", "DtrHangupDelay", 100, 32000, 1,
            "milliseconds", 1);
  AddNumber("All Channels", "&Message Retries : ", "MessageRetries", 1, 100, 1, "", 1);
  AddNumber("All Channels", "&Logon Retries : ", "LogonRetries", 1, 100, 1, "", 1);
  AddNumber("All Channels", "&Output Buffer Limit (All Channels) : ", "OutputBufferLimit", 1,
            32767, 1, "(messages)", 1);
  AddNumber("PACNET", "&Max Messages per Connection :", "MaxMessagesPerConnectionPACNET", 1,
            32000, 1, "", 1);
  AddNumber("PACNET", "&Herald Timeout (msec) : ", "HeraldTimeoutPACNET", 100, 32000, 100,
            "milliseconds", 1);
  AddNumber("PACNET", "&Logon Timeout (msec) : ", "LogonTimeoutPACNET", 100, 32000, 1,
            "milliseconds", 1);
  AddNumber("PACNET", "&Send Message Timeout (msec) : ", "SendMessageTimeoutPACNET", 100, 32000,
            1, "milliseconds", 1);
  AddNumber("PACNET", "&Input Buffer Limit : ", "InputBufferLimitPACNET", 1, 32000, 1,
            "(messages)", 1);
  AddNumber("TAP", "&Max Messages  per Connection : ", "MaxMessagesPerConnectionTAP", 1, 32000,
            1, "", 1);
  AddNumber("TAP", "&Input Buffer Limit : ", "InputBufferLimitTAP", 1, 32000, 1, "(messages)",
            1);
  AddNumber("SMS", "&Max Messages  per Connection : ", "MaxMessagesPerConnectionSMS", 1, 32000,
            1, "", 1);
  AddNumber("SMS", "&Input Buffer Limit : ", "InputBufferLimitSMS", 1, 32000, 1, "(messages)",
            1);
  // Minutes from 0 for every age: a whole number of hours (the default unsent age is 60) must
  // be shown as it is stored.
  AddAge("&Delete (clean-up) unsent Messages older than (messages actuality age) :",
         "MaxUnsentMessageAge", 23, 0);
  AddAge("&Archive unconfirmed sent Messages older than :", "MaxUnconfirmedMessageAge", 24, 0);
  AddAge("&Time to keep messages in Archive : ", "MaxArchivedMessageAge", 23, 0);
  AddNumber("Maintenance", "&Maintenance Period : ", "MaintenancePeriod", 1, 1000, 1, "minutes",
            1);

  btnOK = new QPushButton("&OK", this);
  btnCancel = new QPushButton("&Cancel", this);
  btnOK->setDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnOK);
  buttons->addWidget(btnCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(pgOptions);
  layout->addLayout(buttons);
  connect(btnOK, &QPushButton::clicked, this, &TFormServerOptions::OkClick);
  connect(btnCancel, &QPushButton::clicked, this, &TFormServerOptions::CancelClick);

  for (auto& [page, widget] : pages_)
    static_cast<QVBoxLayout*>(widget->layout())->addStretch();
  resize(800, 420);
  UpdateOk();
  LoadFormSettings();
}

QWidget* TFormServerOptions::Page(const QString& title) {
  if (auto it = pages_.find(title); it != pages_.end()) return it->second;
  auto* page = new QWidget;
  page->setLayout(new QVBoxLayout);
  pgOptions->addTab(page, title);
  pages_[title] = page;
  return page;
}

void TFormServerOptions::AddCheck(const QString& page, const QString& caption,
                                  const char* option) {
  auto* box = new QCheckBox(caption);
  TNOption& o = options_.OptionByName(option);
  box->setChecked(o.AsBool());
  Page(page)->layout()->addWidget(box);
  checks_[option] = box;
  connect(box, &QCheckBox::toggled, this, [this, &o, option](bool on) {
    o.Value = on;
    if (NeedsRestart(option)) restartNeeded_ = true;
    UpdateOk();
  });
}

void TFormServerOptions::AddNumber(const QString& page, const QString& caption,
                                   const char* option, int min, int max, int step,
                                   const QString& unit, int scale) {
  auto* spin = new QSpinBox;
  spin->setRange(min, max);
  spin->setSingleStep(step);
  spin->setValue(options_.OptionByName(option).AsInteger() / scale);
  spin->setKeyboardTracking(true);
  TDigitsOnlyFilter::Install(*spin);
  auto* row = new QHBoxLayout;
  auto* label = new QLabel(caption);
  label->setBuddy(spin);
  row->addWidget(label);
  row->addWidget(spin);
  if (!unit.isEmpty()) row->addWidget(new QLabel(unit));
  row->addStretch();
  static_cast<QVBoxLayout*>(Page(page)->layout())->addLayout(row);
  spins_[option] = spin;
  connect(spin, &QSpinBox::valueChanged, this,
          [this, option, scale](int shown) { SetValue(option, int64_t{shown} * scale); });
}

void TFormServerOptions::AddAge(const QString& caption, const char* option, int maxHours,
                                int minMinutes) {
  const int age = options_.OptionByName(option).AsInteger();
  auto* box = new QVBoxLayout;
  box->addWidget(new QLabel(caption));
  auto* row = new QHBoxLayout;
  QSpinBox* parts[3];
  const struct {
    const char* suffix;
    const char* unit;
    int min, max, value;
  } fields[3] = {{".Days", "days", 0, 1000, age / 1440},
                 {".Hours", "hours", 0, maxHours, (age % 1440) / 60},
                 {".Minutes", "minutes", minMinutes, 59, age % 60}};
  for (int i = 0; i < 3; ++i) {
    auto* spin = new QSpinBox;
    spin->setRange(fields[i].min, fields[i].max);
    spin->setValue(fields[i].value);
    TDigitsOnlyFilter::Install(*spin);
    row->addWidget(spin);
    row->addWidget(new QLabel(fields[i].unit));
    spins_[std::string(option) + fields[i].suffix] = spin;
    parts[i] = spin;
  }
  row->addStretch();
  box->addLayout(row);
  static_cast<QVBoxLayout*>(Page("Maintenance")->layout())->addLayout(box);
  for (QSpinBox* spin : parts)
    connect(spin, &QSpinBox::valueChanged, this, [this, option, parts] {
      SetValue(option, int64_t{parts[2]->value()} + 60 * int64_t{parts[1]->value()} +
                           1440 * int64_t{parts[0]->value()});
    });
}

void TFormServerOptions::AddLogFolder() {
  TNOption& o = options_.OptionByName("LogFilesFolder");
  edtLogFilesFolder = new QLineEdit(QString::fromStdString(o.AsString()));
  auto* browse = new QPushButton("...");
  browse->setMaximumWidth(32);
  auto* label = new QLabel("Log  files &Folder : ");
  label->setBuddy(edtLogFilesFolder);
  auto* row = new QHBoxLayout;
  row->addWidget(label);
  row->addWidget(edtLogFilesFolder, 1);
  row->addWidget(browse);
  static_cast<QVBoxLayout*>(Page("Logs")->layout())->addLayout(row);
  connect(edtLogFilesFolder, &QLineEdit::textChanged, this, [this, &o](const QString& text) {
    o.Value = text.toStdString();
    UpdateOk();
  });
  connect(browse, &QPushButton::clicked, this, [this] {
    const QString folder = QFileDialog::getExistingDirectory(this, "Log files folder",
                                                             edtLogFilesFolder->text());
    if (!folder.isEmpty()) edtLogFilesFolder->setText(folder);
  });
}

void TFormServerOptions::AddLoadOnLogin() {
  chkLoadOnLogin = new QCheckBox("Load VoxmitServer on login");
  loadOnLoginAtOpen_ = AutoStartEntryExists();
  chkLoadOnLogin->setChecked(loadOnLoginAtOpen_);
  if (loadOnLoginAtOpen_) {
    // The entry follows the program when it was moved since the entry was written.
    try {
      WriteAutoStartEntry(ExecutablePath(), HomeFolder());
    } catch (const std::exception&) {
      // Kept as it was; the operator sees the error when changing the box.
    }
  }
  Page("Start")->layout()->addWidget(chkLoadOnLogin);
  connect(chkLoadOnLogin, &QCheckBox::toggled, this, [this](bool on) {
    try {
      if (on)
        WriteAutoStartEntry(ExecutablePath(), HomeFolder());
      else
        RemoveAutoStartEntry();
    } catch (const std::exception& e) {
      ShowMessageBox(TMessageKind::Warning, e.what(), this);
      const QSignalBlocker block(chkLoadOnLogin);
      chkLoadOnLogin->setChecked(AutoStartEntryExists());
    }
    UpdateOk();
  });
}

void TFormServerOptions::SetValue(const char* option, int64_t value) {
  options_.OptionByName(option).Value = value;
  if (NeedsRestart(option)) restartNeeded_ = true;
  UpdateOk();
}

void TFormServerOptions::UpdateOk() {
  if (!btnOK) return;
  btnOK->setEnabled(options_.OptionsModified() ||
                    chkLoadOnLogin->isChecked() != loadOnLoginAtOpen_);
}

void TFormServerOptions::OkClick() {
  try {
    options_.ApplyAllChanges();
  } catch (const std::exception& e) {
    ShowMessageBox(TMessageKind::Error, e.what(), this);
    return;
  }
  if (restartNeeded_)
    ShowMessageBox(TMessageKind::Information,
                   "You'll need to Exit and Re-start VoxmitServer for the changes to take "
                   "effect!",
                   this);
  accept();
}

void TFormServerOptions::CancelClick() {
  options_.CancelChanges();
  reject();
}

void TFormServerOptions::LoadFormSettings() {
  TFormBase::LoadFormSettings();
  const int tab = FormSettingsIni().ReadInteger(Section(), "ActiveTabIndex", 0);
  if (tab >= 0 && tab < pgOptions->count()) pgOptions->setCurrentIndex(tab);
}

void TFormServerOptions::SaveFormSettings() {
  FormSettingsIni().WriteInteger(Section(), "ActiveTabIndex", pgOptions->currentIndex());
  TFormBase::SaveFormSettings();
}

} // namespace voxmit
