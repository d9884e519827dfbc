// The hidden form on its own: tray tip, icon flashing, the start/stop messages that must do
// nothing in the wrong state, and the start request that waits for the form.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "carriers/ACUGK.h"
#include "host/LogFile.h"
#include "host/WindowMessages.h"
#include "platform/OperatorUi.h"
#include "platform/TNMainLoop.h"
#include "platform/ThreadState.h"
#include "server/ServerFixture.h"
#include "server/frmHidden.h"
#include "support/WaitUntil.h"

using namespace voxmit;
using namespace std::chrono_literals;

namespace {

class RecordingUi : public THeadlessOperatorUi {
public:
  void SetTrayIcon(TTrayIcon icon) override {
    THeadlessOperatorUi::SetTrayIcon(icon);
    std::lock_guard lock(mutex_);
    icons_.push_back(icon);
  }
  std::vector<TTrayIcon> Icons() {
    std::lock_guard lock(mutex_);
    return icons_;
  }
  void ClearIcons() {
    std::lock_guard lock(mutex_);
    icons_.clear();
  }

private:
  std::mutex mutex_;
  std::vector<TTrayIcon> icons_;
};

class HiddenForm : public ::testing::Test {
protected:
  void SetUp() override {
    auto ui = std::make_unique<RecordingUi>();
    ui_ = ui.get();
    SetOperatorUi(std::move(ui));
    ServerRunning = false;
    form_ = std::make_unique<THiddenForm>(modules_.Modules());
  }
  void TearDown() override {
    form_.reset();
    ServerRunning = false;
    TNMainLoop::Instance().Drain([](const TNPostedMessage&) {});
  }
  // Handles posted messages until the form stops flashing.
  void RunFlash() {
    ASSERT_TRUE(test::WaitUntil([&] {
      TNMainLoop::Instance().Drain([&](const TNPostedMessage& m) { form_->HandleMessage(m); });
      return !form_->Flashing();
    }));
  }

  test::TServerModulesFixture modules_;
  RecordingUi* ui_ = nullptr;
  std::unique_ptr<THiddenForm> form_;
};

} // namespace

TEST_F(HiddenForm, StartsStoppedWithItsTip) {
  EXPECT_EQ(ui_->TrayTip(), "VoxmitServer - Stopped");
  EXPECT_EQ(ui_->TrayIcon(), tiStopped);
}

TEST_F(HiddenForm, TrayTipIsCutTo127Characters) {
  form_->SetTrayTip(std::string(300, 'x'));
  EXPECT_EQ(ui_->TrayTip().size(), 127u);
  EXPECT_EQ(ui_->TrayTip().rfind("VoxmitServer - xxx", 0), 0u);
  form_->SetTrayTip("3 Clients connected");
  EXPECT_EQ(ui_->TrayTip(), "VoxmitServer - 3 Clients connected");
}

TEST_F(HiddenForm, FlashingThreeTimesIsSixTicksEndingOnTheNormalIcon) {
  ui_->ClearIcons();
  form_->FlashTrayIcon(3, 5);
  RunFlash();
  const std::vector<TTrayIcon> expected{tiStoppedFlash, tiStopped, tiStoppedFlash,
                                        tiStopped,      tiStoppedFlash, tiStopped};
  EXPECT_EQ(ui_->Icons(), expected);
  EXPECT_EQ(ui_->TrayIcon(), tiStopped);
}

TEST_F(HiddenForm, StartWhileRunningAndStopWhileStoppedDoNothing) {
  const std::string tip = ui_->TrayTip();
  ServerRunning = true;
  form_->HandleMessage({WM_START_SERVER, 0, 0, {}});
  EXPECT_TRUE(ServerRunning);
  EXPECT_EQ(ui_->TrayTip(), tip);
  ServerRunning = false;
  form_->HandleMessage({WM_STOP_SERVER, 0, 0, {}});
  EXPECT_FALSE(ServerRunning);
  EXPECT_EQ(ui_->TrayTip(), tip);
}

TEST_F(HiddenForm, ExitIsRefusedWhileRunning) {
  ServerRunning = true;
  EXPECT_FALSE(form_->Exit());
  EXPECT_EQ(ui_->LastWarning(), "Can't exit - Please Stop the VoxmitServer first.");
  EXPECT_FALSE(ServerExiting);
  ServerRunning = false;
  EXPECT_TRUE(form_->Exit());
  EXPECT_TRUE(ServerExiting);
  EXPECT_EQ(ui_->TrayTip(), "VoxmitServer - Exiting - Please wait.");
  ServerExiting = false;
}

TEST(PostStartServer, WaitsForTheFormsAndGivesUpAfterItsDeadline) {
  TNMainLoop& loop = TNMainLoop::Instance();
  loop.Drain([](const TNPostedMessage&) {});
  std::vector<std::string> logged;
  SetLogWindowSink([&logged](const std::string& line) { logged.push_back(line); });
  const auto drain = [&] {
    std::vector<uint32_t> codes;
    loop.Drain([&](const TNPostedMessage& m) {
      if (m.Code == WM_LOG_LINE) HandleLogLine(m.Text);
      else codes.push_back(m.Code);
    });
    return codes;
  };
  FormsReady.Reset();

  // Never ready: the request is dropped, with a log line.
  EXPECT_FALSE(PostStartServer(50));
  EXPECT_TRUE(drain().empty());
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0], "PostStartServer: the hidden form is not ready after 50 ms; the start "
                       "request is dropped");

  // Ready while it waits: it wakes and posts the request.
  std::atomic<pid_t> waiter{0};
  std::atomic<bool> posted{false};
  std::thread caller([&] {
    waiter = test::CurrentThreadId();
    posted = PostStartServer(60000);
  });
  ASSERT_TRUE(test::WaitUntil([&] { return waiter != 0 && test::IsAsleep(waiter); }));
  FormsReady.Set();
  ASSERT_TRUE(test::WaitUntil([&] { return posted.load(); }, 5s));
  caller.join();
  EXPECT_EQ(drain(), std::vector<uint32_t>{WM_START_SERVER});
  SetLogWindowSink({});
}

// The gatekeeper requests reach the gatekeeper; the form owns it until the form goes. Without
// a terminal-network provider the gatekeeper exists but holds no library object.
TEST_F(HiddenForm, CreatesTheGatekeeperOnceAndFreesItWithTheForm) {
  unsetenv("ORVEXNET_SERVER");
  EXPECT_FALSE(ACUGateKeeper::Exists());
  form_->HandleMessage({WM_GATEKEEPER_CREATE, 0, 0, {}});
  EXPECT_TRUE(ACUGateKeeper::Exists());
  form_->HandleMessage({WM_GATEKEEPER_CONNECT, 0, 0, "A,B,host,1720,3"});
  form_->HandleMessage({WM_GATEKEEPER_SEND, 0, 0, "0,101,Thello"});
  EXPECT_FALSE(ACUGateKeeper::GatekeeperConnected());
  form_.reset();
  EXPECT_FALSE(ACUGateKeeper::Exists());
}
