// The device, device-kind and carrier commands on a real database in a temporary home, with a
// "running server" played by a holder of the single-instance lock.

#include <algorithm>
#include <cstdlib>
#include <unistd.h>
#include <sstream>
#include <string>
#include <vector>

#include <Poco/Data/Session.h>
#include <gtest/gtest.h>

#include "platform/SingleInstance.h"
#include "server/DeviceCommands.h"
#include "store/DbSession.h"
#include "support/ServerProcess.h"
#include "support/TempHome.h"

using namespace Poco::Data::Keywords;

namespace voxmit::test {
namespace {

struct Result {
  int Code = -1;
  std::string Out, Err;
};

class DeviceCommands : public ::testing::Test {
protected:
  void SetUp() override {
    ::setenv("XDG_RUNTIME_DIR", home.Path().c_str(), 1);
    CreateTestDatabase(home.Path());
  }
  void TearDown() override { ::unsetenv("XDG_RUNTIME_DIR"); }

  Result Run(std::vector<std::string> args) {
    if (std::find(args.begin(), args.end(), "--home") == args.end()) {
      args.push_back("--home");
      args.push_back(home.Path().string());
    }
    std::ostringstream out, err;
    Result r;
    r.Code = RunManagementCommand(args, out, err).value_or(-1);
    r.Out = out.str();
    r.Err = err.str();
    return r;
  }

  // Every row of the two tables the commands change, as one text.
  std::string Tables() {
    auto session = OpenDbSession(home.File("ServerData.db"));
    std::vector<std::string> devices, kinds;
    session << "SELECT ID || '|' || TypeNo || '|' || Name || '|' || SettingsData FROM Devices "
               "ORDER BY ID", into(devices), now;
    session << "SELECT TypeNo || '|' || Name FROM DeviceTypes ORDER BY TypeNo", into(kinds), now;
    std::string all;
    for (const auto& row : devices) all += "D " + row + "\n";
    for (const auto& row : kinds) all += "K " + row + "\n";
    return all;
  }

  // Plays a server running on the given database.
  std::unique_ptr<TNSingleInstance> HoldLock(const std::filesystem::path& database) {
    auto lock = std::make_unique<TNSingleInstance>();
    EXPECT_TRUE(lock->Acquire());
    lock->SetHolderText(DatabaseLockText(database));
    return lock;
  }

  TempHome home{false};
};

TEST_F(DeviceCommands, AddListEditRemoveDevices) {
  const Result modem = Run({"devices", "add", "--name", "Modem 1", "--kind", "MODEM",
                            "--settings", "COM1,ATQ0V1M1E0X4,9,TRUE,3,1"});
  ASSERT_EQ(modem.Code, 0) << modem.Err;
  EXPECT_EQ(modem.Out, "Added device 1 \"Modem 1\": COM1,ATQ0V1M1E0X4,9,true,3,1\n");
  ASSERT_EQ(Run({"devices", "add", "--name", "Net", "--kind", "IP network", "--settings",
                 "127.0.0.1,2525,1"}).Code, 0);

  // Options may come before the action.
  const Result list = Run({"devices", "--home", home.Path().string(), "list"});
  ASSERT_EQ(list.Code, 0) << list.Err;
  EXPECT_NE(list.Out.find("1   1 Modem       Modem 1  COM1,ATQ0V1M1E0X4,9,true,3,1"),
            std::string::npos) << list.Out;
  EXPECT_NE(list.Out.find("2   4 IP network  Net      127.0.0.1,2525,1"), std::string::npos)
      << list.Out;

  // A new kind is checked against the stored settings when no new settings come with it.
  EXPECT_EQ(Run({"devices", "edit", "2", "--kind", "1"}).Code, 2);
  const Result edit = Run({"devices", "edit", "2", "--name", "Gateway", "--settings",
                           "127.0.0.1,8080,3"});
  ASSERT_EQ(edit.Code, 0) << edit.Err;
  ASSERT_EQ(Run({"devices", "remove", "1"}).Code, 0);
  EXPECT_EQ(Tables(),
            "D 2|4|Gateway|127.0.0.1,8080,3\n"
            "K 1|Modem\nK 2|Direct serial line\nK 3|GSM modem\nK 4|IP network\n");
  EXPECT_EQ(Run({"devices", "remove", "1"}).Code, 1);  // gone already
}

TEST_F(DeviceCommands, BadInputExitsTwoWithOneLineAndChangesNothing) {
  ASSERT_EQ(Run({"devices", "add", "--name", "Modem", "--kind", "1", "--settings",
                 "COM1,ATQ0V1,,false,3,1"}).Code, 0);
  const std::string before = Tables();
  const std::vector<std::vector<std::string>> cases = {
      {"devices", "add", "--name", "X", "--kind", "7", "--settings", "COM1"},
      {"devices", "add", "--name", "X", "--kind", "Pager", "--settings", "COM1"},
      {"devices", "add", "--name", "X", "--kind", "1", "--settings", "COM1,ATQ0V1"},
      {"devices", "add", "--name", "X", "--kind", "4", "--settings", "10.0.0.1,70000,1"},
      {"devices", "add", "--name", " ", "--kind", "2", "--settings", "COM1"},
      {"devices", "add", "--kind", "2", "--settings", "COM1"},
      {"devices", "add", "--name", "X", "--kind", "2", "--settings", "COM1", "--bogus", "1"},
      {"devices", "edit", "1", "--settings", "COM1,ATQ0V1,,true,3,1"},
      {"devices", "edit", "1"},
      {"devices", "edit", "one", "--name", "X"},
      {"devices", "frobnicate"},
      {"devices"},
      {"device-kinds", "add", "--type-no", "5", "--name", "modem"},
      {"device-kinds", "add", "--type-no", "4", "--name", "Pager"},
      {"device-kinds", "add", "--type-no", "256", "--name", "Pager"},
      {"device-kinds", "remove", "1"},
  };
  for (const auto& args : cases) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    SCOPED_TRACE(joined);
    const Result r = Run(args);
    EXPECT_EQ(r.Code, 2) << r.Err;
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
    EXPECT_TRUE(r.Out.empty()) << r.Out;
  }
  EXPECT_EQ(Tables(), before);
}

TEST_F(DeviceCommands, DeviceKindsAreUniqueAndOnlyUnusedOnesGo) {
  ASSERT_EQ(Run({"device-kinds", "add", "--type-no", "9", "--name", "Pager"}).Code, 0);
  const Result dupName = Run({"device-kinds", "add", "--type-no", "10", "--name", "PAGER"});
  EXPECT_EQ(dupName.Code, 2);
  EXPECT_EQ(dupName.Err, "VoxmitServer2: There already is DatabaseType named: \"PAGER\". "
                         "Please enter a different name.\n");
  // A kind without a settings editor keeps any text, as the editor does.
  ASSERT_EQ(Run({"devices", "add", "--name", "P", "--kind", "pager", "--settings", "x y"}).Code,
            0);
  const Result used = Run({"device-kinds", "remove", "9"});
  EXPECT_EQ(used.Code, 1);
  EXPECT_NE(used.Err.find("used by 1 device"), std::string::npos) << used.Err;
  EXPECT_EQ(Run({"device-kinds", "remove", "12"}).Code, 1);
  ASSERT_EQ(Run({"devices", "remove", "1"}).Code, 0);
  ASSERT_EQ(Run({"device-kinds", "remove", "9"}).Code, 0);
  const Result list = Run({"device-kinds", "list"});
  EXPECT_EQ(list.Out,
            "TypeNo  Name                Devices\n"
            "1       Modem               0\n"
            "2       Direct serial line  0\n"
            "3       GSM modem           0\n"
            "4       IP network          0\n");
}

TEST_F(DeviceCommands, WhileAServerRunsOnTheDatabaseOnlyAdditionsAreAllowed) {
  ASSERT_EQ(Run({"devices", "add", "--name", "Line", "--kind", "2", "--settings", "COM2"}).Code,
            0);
  {
    const auto server = HoldLock(home.File("ServerData.db"));
    const Result add = Run({"devices", "add", "--name", "Line 2", "--kind", "2", "--settings",
                            "COM3"});
    EXPECT_EQ(add.Code, 0) << add.Err;
    EXPECT_NE(add.Out.find("next start"), std::string::npos) << add.Out;
    const std::string before = Tables();
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"devices", "edit", "1", "--settings", "COM4"},
             {"devices", "remove", "1"}}) {
      const Result r = Run(args);
      EXPECT_EQ(r.Code, 1);
      EXPECT_NE(r.Err.find("a server is running on"), std::string::npos) << r.Err;
    }
    EXPECT_EQ(Tables(), before);
    EXPECT_EQ(Run({"devices", "list"}).Code, 0);
  }
  {
    // A server on another database does not stand in the way.
    const auto server = HoldLock(home.File("Other.db"));
    EXPECT_EQ(Run({"devices", "edit", "1", "--settings", "COM4"}).Code, 0);
  }
  EXPECT_EQ(Run({"devices", "remove", "2"}).Code, 0);  // no server at all
}

TEST_F(DeviceCommands, WithoutADatabaseEveryCommandRefuses) {
  std::filesystem::remove(home.File("ServerData.db"));
  const Result r = Run({"devices", "list"});
  EXPECT_EQ(r.Code, 1);
  EXPECT_NE(r.Err.find("--create-database"), std::string::npos) << r.Err;
  EXPECT_FALSE(std::filesystem::exists(home.File("ServerData.db")));
}

TEST_F(DeviceCommands, RootLeavesAnotherUsersDatabaseAlone) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the database to another user";
  ASSERT_EQ(::chown(home.File("ServerData.db").c_str(), 65534, 65534), 0);
  const Result r = Run({"devices", "list"});
  EXPECT_EQ(r.Code, 1);
  EXPECT_NE(r.Err.find("run the command as that user"), std::string::npos) << r.Err;
  // Nothing was opened: no write-ahead files owned by root appeared beside it.
  EXPECT_FALSE(std::filesystem::exists(home.File("ServerData.db-wal")));
  EXPECT_FALSE(std::filesystem::exists(home.File("ServerData.db-shm")));
}

} // namespace
} // namespace voxmit::test
