#pragma once
// The desktop side of the hidden main form: the tray menu with its actions and enabling
// rules, the monitoring windows, the options dialog and the device lists, and the handling of
// the posted messages that concern windows (the rest goes to THiddenForm).
//
// Threads: UI thread only. Ownership: the windows are top-level, free themselves when closed
// (the QPointer members then read null: a window's open flag is its pointer); the menu and
// actions belong to this object. The hidden form, the modules and the tray icon outlive it.

#include <QAction>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <functional>

#include "server/ServerModules.h"
#include "platform/TNMainLoop.h"

class QSystemTrayIcon;

namespace voxmit {

class THiddenForm;
class TLogWindow;
class TFormConnections;
class TFormDeviceActivity;
class TFormServerOptions;
class TFormDevicesList;
class TFormDeviceKindsList;

class THiddenFormUi : public QObject {
  Q_OBJECT
public:
  // tray: the tray icon to attach the menu to, or nullptr (tests).
  THiddenFormUi(THiddenForm& form, const TServerModules& modules, QSystemTrayIcon* tray);
  ~THiddenFormUi() override;

  // The posted-message handler of the desktop run: window messages here, the rest to the form.
  void HandleMessage(const TNPostedMessage& message);
  // Sets every action's enabled state from the server's state and the open windows.
  void UpdateActions();
  void CloseChildWindows();

  // Called when the operator's Exit was accepted (the desktop quits its loop).
  std::function<void()> OnExit;

  QMenu mnuTrayIcon;
  QMenu miTables{"&Database"};
  QAction* actStartServer;
  QAction* actStopServer;
  QAction* actOptions;
  QAction* actEditDevices;
  QAction* actEditDeviceTypes;
  QAction* actShowDeviceActivityWindow;
  QAction* actShowLogWindow;
  QAction* actShowConnectionsWindow;
  QAction* actCompactDatabase;
  QAction* actClearInMessagesTable;
  QAction* actClearSentMessagesTable;
  QAction* actClearArchivedMessagesTable;
  QAction* actClearAllMessageTables;
  QAction* actClearCarriersTable;
  QAction* actAbout;
  QAction* actHelp;
  QAction* actExit;

  // The windows; null while closed.
  QPointer<TLogWindow> LogWindow;
  QPointer<TFormConnections> ConnectionsWindow;
  QPointer<TFormDeviceActivity> DeviceActivityWindow;
  QPointer<TFormServerOptions> OptionsDialog;
  QPointer<TFormDevicesList> DevicesList;
  QPointer<TFormDeviceKindsList> DeviceKindsList;

  void ShowLogWindow();
  void ShowConnectionsWindow();
  void ShowDeviceActivityWindow();
  void ShowOptions();
  void EditDevices();
  void EditDeviceKinds();

private:
  QAction* AddAction(QMenu& menu, const QString& caption, void (THiddenFormUi::*slot)());
  void StartServer();
  void StopServer();
  void Exit();
  void About();
  void Help();
  // Runs a clear command of the menu through the settings connection (opened for it when
  // closed, with a short busy wait); a failure is shown to the operator.
  void RunDatabaseCommand(const std::function<void()>& command);
  void ClosedDeviceList();

  THiddenForm& form_;
  const TServerModules modules_;
  QSystemTrayIcon* tray_;
};

// Brings a window up: shows it, restores it when minimised, raises and activates it.
void RestoreWindow(QWidget& window);

} // namespace voxmit
