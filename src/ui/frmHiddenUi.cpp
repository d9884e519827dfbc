#include "frmHiddenUi.h"

#include <QDesktopServices>
#include <QSystemTrayIcon>
#include <QUrl>

#include "MessageBoxes.h"
#include "frmConnections.h"
#include "frmDeviceActivity.h"
#include "frmDevicesList.h"
#include "frmLogWindow.h"
#include "frmServerOptions.h"
#include "host/LogFile.h"
#include "host/WindowMessages.h"
#include "host/dmodServerOptions.h"
#include "platform/HomeFolder.h"
#include "server/frmHidden.h"
#include "store/dmodData.h"
#include "store/dmodServerSettings.h"

namespace voxmit {

namespace {
// Mouse messages of the tray callback, as the hidden form takes them.
constexpr intptr_t WM_LBUTTONDBLCLK = 0x203;
// How long a menu command waits for a database that is locked elsewhere.
constexpr int kUiBusyTimeoutMs = 3000;
}

void RestoreWindow(QWidget& window) {
  window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
  window.show();
  window.raise();
  window.activateWindow();
}

THiddenFormUi::THiddenFormUi(THiddenForm& form, const TServerModules& modules,
                             QSystemTrayIcon* tray)
    : form_(form), modules_(modules), tray_(tray) {
  actStartServer = AddAction(mnuTrayIcon, "&Start", &THiddenFormUi::StartServer);
  actStopServer = AddAction(mnuTrayIcon, "S&top", &THiddenFormUi::StopServer);
  mnuTrayIcon.addSeparator();
  actOptions = AddAction(mnuTrayIcon, "&Options", &THiddenFormUi::ShowOptions);
  mnuTrayIcon.addSeparator();
  actEditDevices = AddAction(mnuTrayIcon, "Edit &Devices", &THiddenFormUi::EditDevices);
  actEditDeviceTypes =
      AddAction(mnuTrayIcon, "Edit Device &Kinds", &THiddenFormUi::EditDeviceKinds);
  actEditDeviceTypes->setVisible(false);
  mnuTrayIcon.addSeparator();
  actShowDeviceActivityWindow = AddAction(mnuTrayIcon, "Show &Device Activity Window",
                                          &THiddenFormUi::ShowDeviceActivityWindow);
  actShowLogWindow = AddAction(mnuTrayIcon, "Show &Log Window", &THiddenFormUi::ShowLogWindow);
  actShowConnectionsWindow = AddAction(mnuTrayIcon, "Show &Connections Window",
                                       &THiddenFormUi::ShowConnectionsWindow);
  mnuTrayIcon.addSeparator();

  QMenu* maintenance = mnuTrayIcon.addMenu("&Maintenance");
  maintenance->addMenu(&miTables);
  actCompactDatabase = miTables.addAction("Compact &Database", this, [this] {
    if (ServerRunning) return;
    // Through the data module's own connection: the settings connection stays closed while the
    // file is replaced.
    try {
      modules_.Data.CompactDatabase();
    } catch (const std::exception& e) {
      ShowMessageBox(TMessageKind::Warning, ErrorText(e));
    }
  });
  miTables.addSeparator();
  TDMServerSettings& settings = modules_.ServerSettings;
  actClearInMessagesTable = miTables.addAction("Clear &In Messages Table", this, [this, &settings] {
    RunDatabaseCommand([&settings] { settings.ClearInMessagesTable(); });
  });
  actClearSentMessagesTable =
      miTables.addAction("Clear &Sent Messages Table", this, [this, &settings] {
        RunDatabaseCommand([&settings] { settings.ClearSentMessagesTable(); });
      });
  actClearArchivedMessagesTable =
      miTables.addAction("Clear &Archived Messages Table", this, [this, &settings] {
        RunDatabaseCommand([&settings] { settings.ClearArchivedMessagesTable(); });
      });
  miTables.addSeparator();
  actClearAllMessageTables =
      miTables.addAction("Clear &All Message Tables", this, [this, &settings] {
        RunDatabaseCommand([&settings] { settings.ClearAllMessageTables(); });
      });
  miTables.addSeparator();
  actClearCarriersTable = miTables.addAction("Clear &Carriers Table", this, [this, &settings] {
    RunDatabaseCommand([&settings] { settings.ClearCarriersTable(); });
  });
  connect(&miTables, &QMenu::aboutToShow, this, &THiddenFormUi::UpdateActions);

  mnuTrayIcon.addSeparator();
  actAbout = AddAction(mnuTrayIcon, "&About ...", &THiddenFormUi::About);
  actHelp = AddAction(mnuTrayIcon, "&Help", &THiddenFormUi::Help);
  actHelp->setShortcut(QKeySequence(Qt::Key_F1));
  mnuTrayIcon.addSeparator();
  actExit = AddAction(mnuTrayIcon, "E&xit", &THiddenFormUi::Exit);

  connect(&mnuTrayIcon, &QMenu::aboutToShow, this, &THiddenFormUi::UpdateActions);
  if (tray_) {
    tray_->setContextMenu(&mnuTrayIcon);
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
              if (reason != QSystemTrayIcon::DoubleClick) return;
              UpdateActions();
              form_.HandleMessage({WM_TRAY_NOTIFY, 0, WM_LBUTTONDBLCLK, {}});
            });
  }
  UpdateActions();
}

THiddenFormUi::~THiddenFormUi() {
  CloseChildWindows();
  if (tray_) tray_->setContextMenu(nullptr);
}

QAction* THiddenFormUi::AddAction(QMenu& menu, const QString& caption,
                                  void (THiddenFormUi::*slot)()) {
  QAction* action = menu.addAction(caption);
  connect(action, &QAction::triggered, this, slot);
  return action;
}

void THiddenFormUi::UpdateActions() {
  const bool running = ServerRunning, starting = ServerStarting, stopping = ServerStopping;
  const bool listOpen = DevicesList || DeviceKindsList;
  actStartServer->setEnabled(!running && !starting);
  actStopServer->setEnabled(running && !stopping);
  actOptions->setEnabled(!listOpen);
  const bool editors = !listOpen && !OptionsDialog && !running && !starting;
  actEditDevices->setEnabled(editors);
  actEditDeviceTypes->setEnabled(editors);
  actShowDeviceActivityWindow->setEnabled(running && !stopping);
  actCompactDatabase->setEnabled(!running);
}

void THiddenFormUi::HandleMessage(const TNPostedMessage& m) {
  switch (m.Code) {
    case WM_CLIENTS_CHANGED:
      if (ConnectionsWindow) ConnectionsWindow->FillList();
      return;
    case WM_DEVICE_ACTIVITY:
      if (DeviceActivityWindow)
        DeviceActivityWindow->DeviceActivity(static_cast<int32_t>(m.WParam), m.Text);
      return;
    case WM_SHOW_TRAY_MENU:
      if (ServerExiting) return;
      UpdateActions();
      mnuTrayIcon.popup(QPoint(static_cast<int>(m.WParam), static_cast<int>(m.LParam)));
      return;
    default:
      form_.HandleMessage(m);
      // A stop the form made by itself (a server thread could not go on) leaves no window
      // that shows the stopped run.
      if (!ServerRunning && DeviceActivityWindow) DeviceActivityWindow->close();
      return;
  }
}

void THiddenFormUi::CloseChildWindows() {
  for (QWidget* w : std::initializer_list<QWidget*>{
           ConnectionsWindow.data(), LogWindow.data(), DeviceActivityWindow.data(),
           DevicesList.data(), DeviceKindsList.data(), OptionsDialog.data()})
    if (w) w->close();
}

void THiddenFormUi::StartServer() {
  UpdateActions();
  if (!actStartServer->isEnabled()) return;
  form_.StartServer();
  UpdateActions();
}

void THiddenFormUi::StopServer() {
  UpdateActions();
  if (!actStopServer->isEnabled()) return;
  CloseChildWindows();
  form_.StopServer();
  UpdateActions();
}

void THiddenFormUi::Exit() {
  if (!form_.Exit()) return;
  CloseChildWindows();
  if (tray_) tray_->hide();
  if (OnExit) OnExit();
}

void THiddenFormUi::About() {
  ShowMessageBox(TMessageKind::Information,
                 "VoxmitServer2 2.0.0\r\rPaging and messaging gateway server.");
}

void THiddenFormUi::Help() {
  const auto file = HomeFolder() / "Help.chm";
  std::error_code ec;
  if (!std::filesystem::exists(file, ec) ||
      !QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(file.string()))))
    ShowMessageBox(TMessageKind::Warning,
                   "The help file \"" + file.string() + "\" cannot be opened.");
}

void THiddenFormUi::RunDatabaseCommand(const std::function<void()>& command) {
  TDMServerSettings& settings = modules_.ServerSettings;
  const bool wasOpen = settings.Connected();
  try {
    // The operator waits on this thread: a database another process keeps locked is reported
    // after a few seconds, not after the server threads' long busy wait.
    settings.Session() << "PRAGMA busy_timeout = " + std::to_string(kUiBusyTimeoutMs),
        Poco::Data::Keywords::now;
    command();
  } catch (const std::exception& e) {
    ShowMessageBox(TMessageKind::Warning, ErrorText(e));
  }
  if (!wasOpen) settings.CloseSettingsConnection();
}

void THiddenFormUi::ShowLogWindow() {
  if (!LogWindow) LogWindow = new TLogWindow;
  RestoreWindow(*LogWindow);
}

void THiddenFormUi::ShowConnectionsWindow() {
  if (!ConnectionsWindow)
    ConnectionsWindow = new TFormConnections([this] { return form_.Run(); });
  RestoreWindow(*ConnectionsWindow);
}

void THiddenFormUi::ShowDeviceActivityWindow() {
  if (!ServerRunning || ServerStopping) return;
  if (!DeviceActivityWindow) DeviceActivityWindow = new TFormDeviceActivity(modules_.Devices);
  RestoreWindow(*DeviceActivityWindow);
}

void THiddenFormUi::ShowOptions() {
  if (DevicesList || DeviceKindsList) return;
  if (!OptionsDialog) {
    OptionsDialog = new TFormServerOptions(modules_.Options.KioOptions);
    // Modal for the operator, without a nested event loop: posted messages keep flowing.
    OptionsDialog->setModal(true);
    connect(OptionsDialog, &QObject::destroyed, this, &THiddenFormUi::UpdateActions, Qt::QueuedConnection);
  }
  RestoreWindow(*OptionsDialog);
  UpdateActions();
}

void THiddenFormUi::EditDevices() {
  UpdateActions();
  if (!actEditDevices->isEnabled()) return;
  try {
    modules_.ServerSettings.OpenSettingsConnection();
    DevicesList = TFormDevicesList::Create(modules_.ServerSettings);
  } catch (const std::exception& e) {
    modules_.ServerSettings.CloseSettingsConnection();
    ShowMessageBox(TMessageKind::Warning, e.what());
    return;
  }
  connect(DevicesList, &QObject::destroyed, this, &THiddenFormUi::ClosedDeviceList, Qt::QueuedConnection);
  RestoreWindow(*DevicesList);
  UpdateActions();
}

void THiddenFormUi::EditDeviceKinds() {
  UpdateActions();
  if (!actEditDeviceTypes->isEnabled()) return;
  try {
    modules_.ServerSettings.OpenSettingsConnection();
    DeviceKindsList = TFormDeviceKindsList::Create(modules_.ServerSettings);
  } catch (const std::exception& e) {
    modules_.ServerSettings.CloseSettingsConnection();
    ShowMessageBox(TMessageKind::Warning, e.what());
    return;
  }
  connect(DeviceKindsList, &QObject::destroyed, this, &THiddenFormUi::ClosedDeviceList, Qt::QueuedConnection);
  RestoreWindow(*DeviceKindsList);
  UpdateActions();
}

void THiddenFormUi::ClosedDeviceList() {
  if (!DevicesList && !DeviceKindsList) modules_.ServerSettings.CloseSettingsConnection();
  UpdateActions();
}

} // namespace voxmit
