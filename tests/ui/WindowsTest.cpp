// The monitoring windows and the remembered window geometry.

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTreeWidget>
#include <thread>

#include "devices/Devices.h"
#include "host/LogFile.h"
#include "host/WindowMessages.h"
#include "platform/TNMainLoop.h"
#include "server/ServerFixture.h"
#include "server/frmHidden.h"
#include "ui/UiTestSupport.h"
#include "support/ProtocolClient.h"
#include "support/WaitUntil.h"
#include "ui/QtOperatorUi.h"
#include "ui/frmBase.h"
#include "ui/frmConnections.h"
#include "ui/frmDeviceActivity.h"
#include "ui/frmHiddenUi.h"
#include "ui/frmLogWindow.h"

using namespace voxmit;

namespace {

class Windows : public ::testing::Test {
protected:
  void SetUp() override { test::UiApp(); }
  void TearDown() override {
    test::Settle();
    TNMainLoop::Instance().Drain([](const TNPostedMessage&) {});
  }
  test::TServerModulesFixture modules_;
};

TEST_F(Windows, LogWindowCapturesWhileOpenAndEmptiesPastItsLimit) {
  QPointer<TLogWindow> log = new TLogWindow;
  EXPECT_TRUE(LogWindowCaptures());
  EXPECT_EQ(log->btnStartStop->text().toStdString(), "&Stop Messages");
  for (int i = 1; i <= TLogWindow::kMaxLines + 1; ++i) HandleLogLine("line " + std::to_string(i));
  EXPECT_EQ(log->LineCount(), TLogWindow::kMaxLines + 1);
  HandleLogLine("line 5002");
  EXPECT_EQ(log->LineCount(), 1) << "more than 5000 lines: emptied before the next";
  EXPECT_EQ(log->memMessages->toPlainText().toStdString(), "line 5002");

  log->btnStartStop->click();
  EXPECT_FALSE(LogWindowCaptures());
  EXPECT_EQ(log->btnStartStop->text().toStdString(), "&Start Messages");
  HandleLogLine("not shown");
  EXPECT_EQ(log->LineCount(), 1);
  log->btnStartStop->click();
  log->btnClearMessages->click();
  EXPECT_EQ(log->LineCount(), 0);

  log->close();
  test::Settle();
  EXPECT_FALSE(log);
  EXPECT_FALSE(LogWindowCaptures()) << "closing stops the capture";
}

TEST_F(Windows, GeometryIsRestoredAndClampedToTheScreen) {
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  {
    QPointer<TLogWindow> log = new TLogWindow;
    log->show();
    log->resize(500, 300);
    log->move(area.left() + 40, area.top() + 30);
    log->close();
    test::Settle();
  }
  const TIniFile ini(modules_.Home().File("FormSettings.ini"));
  EXPECT_EQ(ini.ReadInteger("TLogWindow", "Width", -1), 500);
  EXPECT_FALSE(ini.ReadBool("TLogWindow", "Maximized", true));

  QPointer<TLogWindow> log = new TLogWindow;
  EXPECT_EQ(log->size(), QSize(500, 300));
  EXPECT_EQ(log->pos(), QPoint(area.left() + 40, area.top() + 30));
  delete log.data();

  FormSettingsIni().WriteInteger("TLogWindow", "Left", area.right() + 500);
  FormSettingsIni().WriteInteger("TLogWindow", "Top", area.top() - 900);
  log = new TLogWindow;
  EXPECT_EQ(log->pos(), area.topLeft()) << "off screen: the area's top-left edge";
  delete log.data();

  FormSettingsIni().WriteBool("TLogWindow", "Maximized", true);
  log = new TLogWindow;
  EXPECT_TRUE(log->windowState() & Qt::WindowMaximized);
  delete log.data();
}

TEST_F(Windows, DeviceActivityShowsThePoolAndFollowsActivityMessages) {
  auto& session = modules_.Modules().ServerSettings.Session();
  session << "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES "
             "(1, 'COM1,ATZ,,false,3,1', 'Modem 1'), (4, 'h,25,0', 'Mail')",
      Poco::Data::Keywords::now;
  TNDevicesList& pool = modules_.Modules().Devices;
  pool.LoadDevices(session);
  ASSERT_EQ(pool.Count(), 2);

  THiddenForm form(modules_.Modules());
  THiddenFormUi ui(form, modules_.Modules(), nullptr);
  ServerRunning = true;
  ui.ShowDeviceActivityWindow();
  ASSERT_TRUE(ui.DeviceActivityWindow);
  QTreeWidget* rows = ui.DeviceActivityWindow->lvDevices;
  ASSERT_EQ(rows->topLevelItemCount(), 2);
  EXPECT_EQ(rows->topLevelItem(1)->text(0).toStdString(), "2");
  EXPECT_EQ(rows->topLevelItem(1)->text(1).toStdString(), "Mail");
  EXPECT_EQ(rows->topLevelItem(1)->text(2).toStdString(), "IP network");

  SetDeviceActivity(*pool.Items(1), "Connecting");
  TNMainLoop::Instance().Drain([&ui](const TNPostedMessage& m) { ui.HandleMessage(m); });
  EXPECT_EQ(rows->topLevelItem(1)->text(3).toStdString(), "Connecting");
  EXPECT_NE(rows->topLevelItem(0)->text(3).toStdString(), "Connecting");
  ServerRunning = false;
  ui.CloseChildWindows();
  test::Settle();
  EXPECT_FALSE(DeviceActivityWindowOpen);
}

TEST_F(Windows, ConnectionsWindowListsSessionsAndActsOnTheSelectedOnes) {
  using namespace std::chrono_literals;
  THiddenForm form(modules_.Modules());
  form.StopNoticeDelayMs = 0;
  THiddenFormUi ui(form, modules_.Modules(), nullptr);
  ASSERT_TRUE(form.StartServer());
  ui.ShowConnectionsWindow();
  ASSERT_TRUE(ui.ConnectionsWindow);
  TFormConnections& window = *ui.ConnectionsWindow;
  const auto pump = [&ui] {
    TNMainLoop::Instance().Drain([&ui](const TNPostedMessage& m) { ui.HandleMessage(m); });
  };

  const std::string guids[2] = {"{00000000-0000-0000-0000-0000000000a1}",
                                "{00000000-0000-0000-0000-0000000000a2}"};
  std::vector<std::unique_ptr<test::TProtocolClient>> clients;
  for (const std::string& guid : guids) {
    clients.push_back(std::make_unique<test::TProtocolClient>(modules_.Port()));
    clients.back()->Logon(guid, "window test");
    auto reply = clients.back()->ReadReply(5s);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->Keyword, "LOGON_OK");
  }
  ASSERT_TRUE(test::WaitUntil([&] {
    pump();
    return window.lvConnections->topLevelItemCount() == 2;
  }));
  EXPECT_EQ(window.lvConnections->topLevelItem(0)->text(0).toStdString(), "1");
  EXPECT_EQ(window.lvConnections->topLevelItem(0)->text(1).toStdString(), "TCP");
  EXPECT_EQ(window.lvConnections->topLevelItem(0)->text(2).toStdString(), "127.0.0.1");
  EXPECT_EQ(window.lvConnections->topLevelItem(1)->text(4).toStdString(), guids[1]);
  EXPECT_FALSE(window.btnDisconnect->isEnabled()) << "nothing selected";
  EXPECT_FALSE(window.edtMessageText->isEnabled());

  window.lvConnections->selectAll();
  EXPECT_TRUE(window.btnSendMessage->isEnabled());
  EXPECT_TRUE(window.lblMessageText->isEnabled());
  window.edtMessageText->setText("  back in five  ");
  window.btnSendMessage->click();
  for (auto& client : clients) {
    auto notice = client->ReadReply(5s);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->Keyword, "BROADCAST_MESSAGE");
    EXPECT_NE(notice->Data.find(") : back in five"), std::string::npos) << notice->Data;
  }

  window.btnDisconnect->click();
  for (auto& client : clients) EXPECT_TRUE(client->Closed(10s));
  EXPECT_TRUE(test::WaitUntil([&] {
    pump();
    return window.lvConnections->topLevelItemCount() == 0;
  })) << "the list refreshes as each session leaves";

  ui.UpdateActions();  // as the menu does when it pops up
  ui.actStopServer->trigger();
  test::Settle();
  EXPECT_FALSE(ui.ConnectionsWindow);
  EXPECT_FALSE(ServerRunning);
}

TEST_F(Windows, OperatorUiCallsFromOtherThreadsAreCarriedToTheUiThread) {
  TQtOperatorUi ui;
  test::MessageBoxRecorder boxes;
  std::thread worker([&ui] {
    ui.ShowWarning("from a worker");
    ui.SetTrayTip("VoxmitServer - Running");
    ui.SetTrayIcon(tiRunningFlash);
  });
  worker.join();
  EXPECT_EQ(ui.TrayTip(), "VoxmitServer - Running") << "the state reads back at once";
  EXPECT_EQ(ui.TrayIcon(), tiRunningFlash);
  EXPECT_TRUE(boxes.boxes.empty()) << "no widget is touched on the worker";
  test::Settle();
  EXPECT_EQ(boxes.Last(), "from a worker");
  EXPECT_EQ(ui.Tray().toolTip().toStdString(), "VoxmitServer - Running");
}

TEST_F(Windows, AnUnreadableGeometryFileCostsOnlyTheRememberedPlaces) {
  // A folder where the file should be: it cannot be read, and nothing may replace it.
  std::filesystem::create_directory(modules_.Home().File("FormSettings.ini"));
  QPointer<TLogWindow> log = new TLogWindow;
  log->show();
  log->close();
  test::Settle();
  EXPECT_FALSE(log);
  EXPECT_TRUE(std::filesystem::is_directory(modules_.Home().File("FormSettings.ini")));
}

} // namespace
