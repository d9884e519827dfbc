// The automation layer's pure parts: switch forms, class names, GUID shape, settings counts
// and the service file's command line.

#include <gtest/gtest.h>

#include "automation/AutomationObjects.h"
#include "automation/ServiceFile.h"

namespace voxmit {
namespace {

TEST(LocalServerSwitch, EveryFormIsRecognisedAndNothingElse) {
  const struct {
    const char* arg;
    TLocalServerSwitch expected;
  } cases[] = {
      {"--regserver", TLocalServerSwitch::RegServer},
      {"/RegServer", TLocalServerSwitch::RegServer},
      {"-REGSERVER", TLocalServerSwitch::RegServer},
      {"--unregserver", TLocalServerSwitch::UnregServer},
      {"/UNREGSERVER", TLocalServerSwitch::UnregServer},
      {"-Embedding", TLocalServerSwitch::Embedding},
      {"--EMBEDDING", TLocalServerSwitch::Embedding},
      {"/Automation", TLocalServerSwitch::Embedding},
      {"regserver", TLocalServerSwitch::None},
      {"---regserver", TLocalServerSwitch::None},
      {"/regserverx", TLocalServerSwitch::None},
      {"", TLocalServerSwitch::None},
      {"/", TLocalServerSwitch::None},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseLocalServerSwitch(c.arg), c.expected) << c.arg;
}

TEST(AutomationClasses, ProgIdsAndClassIdsInAnyCase) {
  EXPECT_EQ(ClassFromName("VoxmitServer2.VoxmitServer"), TAutomationClass::VoxmitServer);
  EXPECT_EQ(ClassFromName("{b5f666be-a88f-40c8-85d2-57d8ca96d53a}"),
            TAutomationClass::VoxmitServer);
  EXPECT_EQ(ClassFromName("voxmitserverex"), TAutomationClass::VoxmitServerEx);
  EXPECT_EQ(ClassFromName("{DF641F9A-699C-4EE0-A24C-8D38F3056928}"),
            TAutomationClass::VoxmitServerEx);
  EXPECT_EQ(ClassFromName("VoxmitServer"), TAutomationClass::None);
  EXPECT_EQ(ClassFromName("{E04CE9BE-0BF7-4CEF-B214-8E4390B71321}"), TAutomationClass::None);
}

TEST(AutomationGuids, BracedFormOnly) {
  EXPECT_TRUE(IsBracedGuid("{0A1B2C3D-0000-4000-8000-00000000AB01}"));
  EXPECT_TRUE(IsBracedGuid("{0a1b2c3d-0000-4000-8000-00000000ab01}"));
  EXPECT_FALSE(IsBracedGuid("0A1B2C3D-0000-4000-8000-00000000AB01"));
  EXPECT_FALSE(IsBracedGuid("{0A1B2C3D-0000-4000-8000-00000000AB0G}"));
  EXPECT_FALSE(IsBracedGuid("{0A1B2C3D00000-4000-8000-00000000AB01}"));
  EXPECT_FALSE(IsBracedGuid("abc"));
  const std::string a = NewBracedGuid(), b = NewBracedGuid();
  EXPECT_TRUE(IsBracedGuid(a)) << a;
  EXPECT_NE(a, b);
  for (char ch : a) EXPECT_FALSE(std::islower(static_cast<unsigned char>(ch))) << a;
}

TEST(AutomationSettings, ItemCountPerCarrierType) {
  const int32_t expected[] = {0, 5, 6, 5, 6, 5, 5, 3, 3, 6, 11, 0};
  for (int32_t type = 0; type <= 11; ++type)
    EXPECT_EQ(CarrierSettingsItemCount(type), expected[type]) << type;
  EXPECT_EQ(CarrierSettingsItemCount(-1), 0);
}

TEST(ServiceFile, ExecLineQuotesPathsAndNamesTheBus) {
  EXPECT_EQ(ServiceExecLine("/opt/v/VoxmitServer2", "/srv/it's home", false),
            "'/opt/v/VoxmitServer2' --headless --quiet --embedding --home '/srv/it'\\''s home'");
  EXPECT_EQ(ServiceExecLine("/x", "/h", true),
            "'/x' --headless --quiet --embedding --home '/h' --system-bus");
  EXPECT_EQ(ServiceFileText("'/x'", "svc"),
            "[D-BUS Service]\nName=VoxmitServer2.Server\nExec='/x'\nUser=svc\n");
  EXPECT_EQ(ServiceFileText("'/x'", ""),
            "[D-BUS Service]\nName=VoxmitServer2.Server\nExec='/x'\n");
  // Only the registering user may own the name; anybody may call it.
  const std::string policy = PolicyFileText("svc");
  EXPECT_NE(policy.find("<policy user=\"svc\">\n    <allow own=\"VoxmitServer2.Server\"/>"),
            std::string::npos)
      << policy;
  EXPECT_NE(policy.find("<policy context=\"default\">\n    <allow send_destination="
                        "\"VoxmitServer2.Server\"/>"),
            std::string::npos)
      << policy;
  EXPECT_EQ(policy.find("allow own=\"VoxmitServer2.Server\"", policy.find("context=")),
            std::string::npos)
      << policy;
}

} // namespace
} // namespace voxmit
