// The tray menu: the enabling rules in every server state and with windows open, the start
// and stop through the menu, the database commands, and exit.

#include <gtest/gtest.h>

#include <Poco/Data/Session.h>
#include <chrono>
#include <QAction>

#include "host/WindowMessages.h"
#include "platform/TNMainLoop.h"
#include "server/ServerFixture.h"
#include "server/frmHidden.h"
#include "store/dmodServerSettings.h"
#include "ui/QtOperatorUi.h"
#include "ui/UiTestSupport.h"
#include "ui/frmConnections.h"
#include "ui/frmDeviceActivity.h"
#include "ui/frmDevicesList.h"
#include <QTreeWidget>
#include "ui/frmHiddenUi.h"
#include "ui/frmLogWindow.h"
#include "ui/frmServerOptions.h"

using namespace voxmit;
using Poco::Data::Keywords::into;
using Poco::Data::Keywords::now;

namespace {

class TrayMenu : public ::testing::Test {
protected:
  void SetUp() override {
    test::UiApp();
    // The desktop's operator interface: the form's own warnings become message boxes.
    SetOperatorUi(std::make_unique<TQtOperatorUi>());
    ServerRunning = ServerStarting = ServerStopping = ServerExiting = false;
    form_ = std::make_unique<THiddenForm>(modules_.Modules());
    form_->StopNoticeDelayMs = 0;
    ui_ = std::make_unique<THiddenFormUi>(*form_, modules_.Modules(), nullptr);
  }
  void TearDown() override {
    ui_.reset();
    if (ServerRunning) form_->StopServer();
    form_.reset();
    SetOperatorUi(nullptr);
    ServerRunning = ServerStarting = ServerStopping = ServerExiting = false;
    TNMainLoop::Instance().Drain([](const TNPostedMessage&) {});
  }
  int Count(const std::string& table) {
    int n = -1;
    modules_.Modules().ServerSettings.Session() << "SELECT COUNT(*) FROM " + table, into(n), now;
    return n;
  }

  test::TServerModulesFixture modules_;
  std::unique_ptr<THiddenForm> form_;
  std::unique_ptr<THiddenFormUi> ui_;
  test::MessageBoxRecorder boxes_;
};

struct StateCase {
  const char* name;
  bool running, starting, stopping;
  bool start, stop, editDevices, deviceActivity, compact;
};

TEST_F(TrayMenu, EnablingRulesFollowTheServerState) {
  const StateCase cases[] = {
      // name        run    start  stop   Start  Stop   Devices Activity Compact
      {"stopped", false, false, false, true, false, true, false, true},
      {"starting", false, true, false, false, false, false, false, true},
      {"running", true, false, false, false, true, false, true, false},
      {"stopping", true, false, true, false, false, false, false, false},
  };
  for (const StateCase& c : cases) {
    SCOPED_TRACE(c.name);
    ServerRunning = c.running;
    ServerStarting = c.starting;
    ServerStopping = c.stopping;
    ui_->UpdateActions();
    EXPECT_EQ(ui_->actStartServer->isEnabled(), c.start);
    EXPECT_EQ(ui_->actStopServer->isEnabled(), c.stop);
    EXPECT_EQ(ui_->actEditDevices->isEnabled(), c.editDevices);
    EXPECT_EQ(ui_->actShowDeviceActivityWindow->isEnabled(), c.deviceActivity);
    EXPECT_EQ(ui_->actCompactDatabase->isEnabled(), c.compact);
    // Never disabled, whatever the state.
    for (QAction* a : {ui_->actOptions, ui_->actShowLogWindow, ui_->actShowConnectionsWindow,
                       ui_->actClearInMessagesTable, ui_->actClearSentMessagesTable,
                       ui_->actClearArchivedMessagesTable, ui_->actClearAllMessageTables,
                       ui_->actClearCarriersTable, ui_->actAbout, ui_->actHelp, ui_->actExit})
      EXPECT_TRUE(a->isEnabled()) << a->text().toStdString();
  }
  ServerRunning = ServerStarting = ServerStopping = false;
}

TEST_F(TrayMenu, MenuHasEveryItemInOrderWithTheDeviceKindsHidden) {
  QStringList captions;
  for (QAction* a : ui_->mnuTrayIcon.actions())
    captions << (a->isSeparator() ? "-" : a->text());
  EXPECT_EQ(captions.join("|").toStdString(),
            "&Start|S&top|-|&Options|-|Edit &Devices|Edit Device &Kinds|-|"
            "Show &Device Activity Window|Show &Log Window|Show &Connections Window|-|"
            "&Maintenance|-|&About ...|&Help|-|E&xit");
  EXPECT_FALSE(ui_->actEditDeviceTypes->isVisible());
  QStringList tables;
  for (QAction* a : ui_->miTables.actions()) tables << (a->isSeparator() ? "-" : a->text());
  EXPECT_EQ(tables.join("|").toStdString(),
            "Compact &Database|-|Clear &In Messages Table|Clear &Sent Messages Table|"
            "Clear &Archived Messages Table|-|Clear &All Message Tables|-|"
            "Clear &Carriers Table");
}

TEST_F(TrayMenu, OpenWindowsDisableTheEditorsAndTheOptions) {
  ui_->ShowOptions();
  ASSERT_TRUE(ui_->OptionsDialog);
  ui_->UpdateActions();
  EXPECT_FALSE(ui_->actEditDevices->isEnabled()) << "options open";
  EXPECT_TRUE(ui_->actOptions->isEnabled());
  ui_->OptionsDialog->close();
  test::Settle();
  ui_->UpdateActions();
  EXPECT_TRUE(ui_->actEditDevices->isEnabled());

  ui_->EditDevices();
  ASSERT_TRUE(ui_->DevicesList);
  EXPECT_TRUE(modules_.Modules().ServerSettings.Connected()) << "open while the list is shown";
  ui_->UpdateActions();
  EXPECT_FALSE(ui_->actOptions->isEnabled()) << "devices list open";
  EXPECT_FALSE(ui_->actEditDevices->isEnabled());
  ui_->ShowOptions();
  EXPECT_FALSE(ui_->OptionsDialog) << "the options dialog is not offered meanwhile";
  ui_->DevicesList->close();
  test::Settle();
  EXPECT_FALSE(modules_.Modules().ServerSettings.Connected()) << "closed with the list";
  EXPECT_TRUE(ui_->actOptions->isEnabled());
}

TEST_F(TrayMenu, StartAndStopThroughTheMenu) {
  ui_->ShowLogWindow();
  ui_->ShowConnectionsWindow();
  ui_->actStartServer->trigger();
  ASSERT_TRUE(ServerRunning);
  ui_->UpdateActions();
  EXPECT_FALSE(ui_->actStartServer->isEnabled());
  EXPECT_FALSE(ui_->actCompactDatabase->isEnabled());
  EXPECT_TRUE(ui_->actClearCarriersTable->isEnabled());
  ui_->actShowDeviceActivityWindow->trigger();
  EXPECT_TRUE(ui_->DeviceActivityWindow);

  ui_->actStopServer->trigger();
  test::Settle();
  EXPECT_FALSE(ServerRunning);
  EXPECT_FALSE(ui_->LogWindow) << "Stop closes every child window";
  EXPECT_FALSE(ui_->ConnectionsWindow);
  EXPECT_FALSE(ui_->DeviceActivityWindow);
  EXPECT_TRUE(ui_->actStartServer->isEnabled());
}

TEST_F(TrayMenu, ExitIsRefusedWhileRunningAndEndsTheLoopWhenStopped) {
  int exits = 0;
  ui_->OnExit = [&exits] { ++exits; };
  ASSERT_TRUE(form_->StartServer());
  ui_->actExit->trigger();
  EXPECT_EQ(exits, 0);
  EXPECT_EQ(boxes_.Last(), "Can't exit - Please Stop the VoxmitServer first.");
  EXPECT_EQ(OperatorUi().TrayTip(), "VoxmitServer - Running");
  form_->StopServer();
  ui_->ShowLogWindow();
  ui_->actExit->trigger();
  test::Settle();
  EXPECT_EQ(exits, 1);
  EXPECT_TRUE(ServerExiting);
  EXPECT_FALSE(ui_->LogWindow) << "exit closes the windows";
}

TEST_F(TrayMenu, ClearCommandsEmptyTheirTablesAndCloseTheConnectionAgain) {
  auto& session = modules_.Modules().ServerSettings.Session();
  session << "INSERT INTO Carriers (CarrierID, CarrierType, CarrierData) VALUES (7, 1, 'x')", now;
  modules_.Modules().ServerSettings.CloseSettingsConnection();
  ASSERT_EQ(Count("Carriers"), 1);
  modules_.Modules().ServerSettings.CloseSettingsConnection();

  ASSERT_TRUE(form_->StartServer());
  ui_->UpdateActions();
  ui_->actClearCarriersTable->trigger();  // allowed while running
  EXPECT_FALSE(modules_.Modules().ServerSettings.Connected());
  EXPECT_EQ(Count("Carriers"), 0);
  EXPECT_TRUE(boxes_.boxes.empty()) << boxes_.Last();
}

TEST_F(TrayMenu, CompactWhileStoppedWorks) {
  ui_->actCompactDatabase->trigger();
  EXPECT_TRUE(boxes_.boxes.empty()) << boxes_.Last();
}

TEST_F(TrayMenu, PostedWindowMessagesReachTheOpenWindows) {
  ui_->ShowConnectionsWindow();
  ASSERT_TRUE(ui_->ConnectionsWindow);
  EXPECT_EQ(ui_->ConnectionsWindow->lvConnections->topLevelItemCount(), 0)
      << "stopped: the connections window opens empty";
  // A start request posted from elsewhere goes on to the hidden form.
  ui_->HandleMessage({WM_START_SERVER, 0, 0, {}});
  EXPECT_TRUE(ServerRunning);
  ui_->HandleMessage({WM_STOP_SERVER, 0, 0, {}});
  EXPECT_FALSE(ServerRunning);
}

} // namespace

namespace {

TEST_F(TrayMenu, ADatabaseLockedElsewhereIsReportedWithinSeconds) {
  // Another program holds the write lock.
  Poco::Data::Session other("SQLite", modules_.DatabaseFile().string());
  other << "BEGIN EXCLUSIVE", now;
  const auto started = std::chrono::steady_clock::now();
  ui_->actClearInMessagesTable->trigger();
  const auto waited = std::chrono::steady_clock::now() - started;
  other << "ROLLBACK", now;
  ASSERT_EQ(boxes_.boxes.size(), 1u);
  EXPECT_EQ(boxes_.boxes[0].first, TMessageKind::Warning);
  EXPECT_NE(boxes_.Last().find("locked"), std::string::npos) << boxes_.Last();
  EXPECT_LT(waited, std::chrono::seconds(10));
  EXPECT_FALSE(modules_.Modules().ServerSettings.Connected());
}

} // namespace
