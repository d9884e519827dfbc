#include "platform/HomeFolder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "support/TempHome.h"

namespace voxmit {
namespace {

// Taken before any test runs, while nothing has set the home yet.
const std::filesystem::path kDefaultHome = HomeFolder();

TEST(HomeFolder, DefaultsToTheExecutablesFolder) {
  const auto exeFolder = ExecutableFolder();
  EXPECT_TRUE(std::filesystem::exists(exeFolder / "platform_home_test")) << exeFolder;
  EXPECT_EQ(kDefaultHome, exeFolder);
}

TEST(HomeFolder, SetHomeFolderKeepsAnAbsolutePath) {
  test::TempHome home;
  EXPECT_EQ(HomeFolder(), home.Path());

  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(home.Path());
  SetHomeFolder("relative");
  std::filesystem::current_path(previous);
  EXPECT_EQ(HomeFolder(), home.Path() / "relative");
  EXPECT_TRUE(HomeFolder().is_absolute());
}

} // namespace
} // namespace voxmit
