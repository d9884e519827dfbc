// The hidden form on its own: tray tip, icon flashing, and the start/stop messages that must
// do nothing in the wrong state.

#include <gtest/gtest.h>
#include <mutex>
#include <vector>

#include "host/WindowMessages.h"
#include "platform/OperatorUi.h"
#include "platform/TNMainLoop.h"
#include "server/frmHidden.h"
#include "support/WaitUntil.h"

using namespace voxmit;

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
    form_ = std::make_unique<THiddenForm>();
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
