// The server program as a process: command line, home folder, single instance, start and
// stop on signals, listener failures.

#include <csignal>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/ServerProcess.h"
#include "support/TempHome.h"
#include "support/WaitUntil.h"

using namespace voxmit::test;

namespace {

// Settings for a server on a free loopback port.
void WriteSettings(const TempHome& home, int port, const std::string& extra = "") {
  home.Write("Settings.ini", "[Connections]\nPortNo=" + std::to_string(port) + "\n" + extra);
}

bool CanConnect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

class LifecycleProcess : public ::testing::Test {
protected:
  TempHome home{false};
};

} // namespace

TEST_F(LifecycleProcess, HelpAndVersionExitZero) {
  std::string out;
  EXPECT_EQ(RunServerCommand({"--help"}, &out), 0);
  EXPECT_NE(out.find("--headless"), std::string::npos);
  EXPECT_EQ(RunServerCommand({"--version"}, &out), 0);
  EXPECT_NE(out.find("VoxmitServer2 "), std::string::npos);
}

TEST_F(LifecycleProcess, BadCommandLinesAreRefused) {
  struct Case { const char* name; std::vector<std::string> args; const char* says; };
  const std::string missing = (home.Path() / "nowhere").string();
  const Case cases[] = {
      {"unknown argument", {"--frobnicate"}, "unknown argument"},
      {"home without folder", {"--headless", "--home"}, "--home needs a folder"},
      {"missing home folder", {"--headless", "--home", missing}, "does not exist"},
      {"no display without headless", {"--home", home.Path().string()}, "--headless"},
  };
  for (const auto& c : cases) {
    std::string err;
    EXPECT_NE(RunServerCommand(c.args, nullptr, &err), 0) << c.name;
    EXPECT_NE(err.find(c.says), std::string::npos) << c.name << ": " << err;
  }
}

TEST_F(LifecycleProcess, UnwritableHomeFolderIsRefused) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes everywhere";
  std::filesystem::permissions(home.Path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  std::string err;
  EXPECT_NE(RunServerCommand({"--headless", "--home", home.Path().string()}, nullptr, &err), 0);
  std::filesystem::permissions(home.Path(), std::filesystem::perms::owner_all);
  EXPECT_NE(err.find("cannot be written"), std::string::npos) << err;
}

TEST_F(LifecycleProcess, MissingDatabaseEndsTheProcess) {
  TServerProcess server(home.Path(), {"--headless", "--home", home.Path().string()});
  server.Start();
  auto code = server.WaitExit();
  ASSERT_TRUE(code.has_value());
  EXPECT_NE(*code, 0);
  EXPECT_NE(server.Stderr().find("Error: \"ServerData.db\" database file not found."), std::string::npos)
      << server.Stderr();
}

TEST_F(LifecycleProcess, CreateDatabaseRefusesToOverwrite) {
  CreateTestDatabase(home.Path());
  EXPECT_TRUE(std::filesystem::exists(home.File("ServerData.db")));
  std::string err;
  EXPECT_NE(RunServerCommand({"--create-database", "--home", home.Path().string()}, nullptr, &err), 0);
  EXPECT_FALSE(err.empty());
}

TEST_F(LifecycleProcess, RunsUntilSignalledAndRefusesASecondInstance) {
  CreateTestDatabase(home.Path());
  const int port = FreeTcpPort();
  WriteSettings(home, port);
  TServerProcess first(home.Path(), {"--headless", "--home", home.Path().string()});
  first.Start();
  ASSERT_TRUE(first.WaitForStdout("VoxmitServer - Running")) << first.Stdout() << first.Stderr();
  EXPECT_TRUE(CanConnect(port));

  // Same runtime folder: the second one must refuse and leave the first alone.
  TServerProcess second(home.Path(), {"--headless", "--home", home.Path().string()});
  second.Start();
  auto code = second.WaitExit();
  ASSERT_TRUE(code.has_value());
  EXPECT_NE(*code, 0);
  EXPECT_NE(second.Stderr().find("There is another instance of VoxmitServer already running on this PC !"),
            std::string::npos) << second.Stderr();
  EXPECT_NE(second.Stderr().find("Can't launch more than one server. Exiting."), std::string::npos);
  EXPECT_TRUE(first.Running());
  EXPECT_TRUE(CanConnect(port));

  first.Signal(SIGTERM);
  code = first.WaitExit();
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 0) << first.Stderr();
  EXPECT_NE(first.Stdout().find("VoxmitServer - Stopped"), std::string::npos);
  EXPECT_FALSE(CanConnect(port));
  // The exit saves nothing: a Settings.ini edited by hand while the server ran stays as it is.
  EXPECT_EQ(home.Read("Settings.ini"), "[Connections]\nPortNo=" + std::to_string(port) + "\n");
}

TEST_F(LifecycleProcess, SigintStopsAsWell) {
  CreateTestDatabase(home.Path());
  const int port = FreeTcpPort();
  WriteSettings(home, port);
  TServerProcess server(home.Path(), {"--headless", "--quiet", "--home", home.Path().string()});
  server.Start();
  ASSERT_TRUE(WaitUntil([&] { return CanConnect(port); }, std::chrono::seconds(20))) << server.Stderr();
  server.Signal(SIGINT);
  auto code = server.WaitExit();
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 0);
  EXPECT_EQ(server.Stdout(), "") << "--quiet prints nothing";
}

TEST_F(LifecycleProcess, PortInUseRollsBackAndExitsWithTheSocketError) {
  CreateTestDatabase(home.Path());
  int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = 0;
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(blocker, reinterpret_cast<sockaddr*>(&addr), &len);
  WriteSettings(home, ntohs(addr.sin_port), "[Log]\nLogToFile=1\n");

  TServerProcess server(home.Path(), {"--headless", "--home", home.Path().string()});
  server.Start();
  auto code = server.WaitExit();
  ::close(blocker);
  ASSERT_TRUE(code.has_value());
  EXPECT_NE(*code, 0);
  EXPECT_NE(server.Stderr().find("Socket error: Address already in use (98), on API 'bind'"), std::string::npos)
      << server.Stderr();
  EXPECT_EQ(server.Stdout().find("VoxmitServer - Running"), std::string::npos);
  // The log file opened before the listener was closed again and holds the error.
  std::string log = home.Read("LOG0.TXT");
  EXPECT_NE(log.find("Socket error: Address already in use (98), on API 'bind'"), std::string::npos) << log;
}

TEST_F(LifecycleProcess, LogToFileStartsANewFileEachStart) {
  CreateTestDatabase(home.Path());
  WriteSettings(home, FreeTcpPort(), "[Log]\nLogToFile=1\n");
  for (int run = 0; run < 2; ++run) {
    TServerProcess server(home.Path(), {"--headless", "--home", home.Path().string()});
    server.Start();
    ASSERT_TRUE(server.WaitForStdout("VoxmitServer - Running")) << server.Stderr();
    server.Signal(SIGTERM);
    ASSERT_EQ(server.WaitExit(), std::optional<int>(0));
  }
  EXPECT_TRUE(std::filesystem::exists(home.File("LOG0.TXT")));
  EXPECT_TRUE(std::filesystem::exists(home.File("LOG1.TXT")));
}
