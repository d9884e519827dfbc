#include "platform/OperatorUi.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace voxmit {
namespace {

TEST(THeadlessOperatorUi, WarningGoesToStderrWithCarriageReturnsAsLineBreaks) {
  THeadlessOperatorUi ui;
  const std::string text =
      "There is another instance of VoxmitServer already running on this PC !\r\rCan't launch "
      "more than one server. Exiting.";
  testing::internal::CaptureStderr();
  ui.ShowWarning(text);
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_EQ(printed,
            "There is another instance of VoxmitServer already running on this PC !\n\nCan't "
            "launch more than one server. Exiting.\n");
  EXPECT_EQ(ui.LastWarning(), text);
}

TEST(THeadlessOperatorUi, KeepsTipIconAndCursorInMemory) {
  THeadlessOperatorUi ui;
  EXPECT_EQ(ui.TrayTip(), "");
  EXPECT_EQ(ui.TrayIcon(), tiStopped);
  EXPECT_FALSE(ui.BusyCursor());

  ui.SetTrayTip("VoxmitServer - Running");
  ui.SetTrayIcon(tiRunningFlash);
  ui.SetBusyCursor(true);
  EXPECT_EQ(ui.TrayTip(), "VoxmitServer - Running");
  EXPECT_EQ(ui.TrayIcon(), tiRunningFlash);
  EXPECT_TRUE(ui.BusyCursor());
}

TEST(THeadlessOperatorUi, EchoPrintsEachChangedTipOnce) {
  THeadlessOperatorUi ui;
  testing::internal::CaptureStdout();
  ui.SetTrayTip("VoxmitServer - Stopped");  // not echoed yet
  ui.SetEchoTrayTip(true);
  ui.SetTrayTip("VoxmitServer - Running");
  ui.SetTrayTip("VoxmitServer - Running");
  ui.SetTrayTip("VoxmitServer - Stopped");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "VoxmitServer - Running\nVoxmitServer - Stopped\n");
}

TEST(OperatorUi, HeadlessByDefaultAndReplaceable) {
  EXPECT_NE(dynamic_cast<THeadlessOperatorUi*>(&OperatorUi()), nullptr);

  auto installed = std::make_unique<THeadlessOperatorUi>();
  auto* raw = installed.get();
  SetOperatorUi(std::move(installed));
  OperatorUi().SetTrayTip("through the installed one");
  EXPECT_EQ(&OperatorUi(), raw);
  EXPECT_EQ(raw->TrayTip(), "through the installed one");

  SetOperatorUi(nullptr);  // back to a fresh headless interface
  EXPECT_NE(dynamic_cast<THeadlessOperatorUi*>(&OperatorUi()), nullptr);
  EXPECT_EQ(OperatorUi().TrayTip(), "");
}

} // namespace
} // namespace voxmit
