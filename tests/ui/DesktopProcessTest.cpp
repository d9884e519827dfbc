// The program without --headless on a desktop that offers no system tray: it says so and ends
// with exit code 2 (the offscreen platform has no tray).

#include <gtest/gtest.h>

#include "support/ServerProcess.h"
#include "support/TempHome.h"

using namespace voxmit::test;

TEST(DesktopProcess, WithoutASystemTrayTheProgramSaysSoAndEnds) {
  TempHome home{false};
  CreateTestDatabase(home.Path());
  std::string err;
  EXPECT_EQ(RunServerCommand({"--home", home.Path().string()}, nullptr, &err), 2);
  EXPECT_NE(err.find("the desktop offers no system tray; run with --headless"), std::string::npos)
      << err;
}
