// The server program as a process: command line, home folder, single instance, start and
// stop on signals, listener failures.

#include <csignal>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
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

// A listener that shares its port (SO_REUSEPORT) let a second server start "Running" on the
// same port, and the kernel split the clients between the two.
TEST_F(LifecycleProcess, APortHeldWithReusePortIsNotShared) {
  CreateTestDatabase(home.Path());
  int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  ASSERT_EQ(::setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on), 0);
  ASSERT_EQ(::setsockopt(blocker, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on), 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(blocker, reinterpret_cast<sockaddr*>(&addr), &len);
  WriteSettings(home, ntohs(addr.sin_port));

  TServerProcess server(home.Path(), {"--headless", "--home", home.Path().string()});
  server.Start();
  auto code = server.WaitExit();
  ::close(blocker);
  EXPECT_EQ(code, std::optional<int>(1));
  EXPECT_NE(server.Stderr().find("Socket error: Address already in use (98), on API 'bind'"),
            std::string::npos)
      << server.Stderr();
  EXPECT_EQ(server.Stdout().find("VoxmitServer - Running"), std::string::npos);
}

// 70000 used to become port 4464 and 0 a random port, silently.
TEST_F(LifecycleProcess, APortNumberOutsideTheTcpRangeIsRefused) {
  CreateTestDatabase(home.Path());
  for (const char* port : {"70000", "0", "-1"}) {
    home.Write("Settings.ini", std::string("[Connections]\nPortNo=") + port + "\n");
    TServerProcess server(home.Path(), {"--headless", "--home", home.Path().string()});
    server.Start();
    EXPECT_EQ(server.WaitExit(), std::optional<int>(1)) << port;
    EXPECT_NE(server.Stderr().find("Socket error: Invalid argument (22), on API 'bind'"),
              std::string::npos)
        << port << ": " << server.Stderr();
  }
}

// A closed standard output (the console went away, a pipe reader ended) killed the process with
// SIGPIPE at the next log line, in the middle of whatever it was doing.
TEST_F(LifecycleProcess, AClosedStandardOutputDoesNotKillTheServer) {
  CreateTestDatabase(home.Path());
  WriteSettings(home, FreeTcpPort());
  std::filesystem::create_directories(home.Path() / "run");
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const std::string exe = ServerExecutable().string();
  const std::string homeArg = home.Path().string();
  const std::string runtime = (home.Path() / "run").string();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ::execl(exe.c_str(), exe.c_str(), "--headless", "--home", homeArg.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(out[1]);
  std::string seen;
  char buffer[4096];
  while (seen.find("VoxmitServer - Running") == std::string::npos) {
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    seen.append(buffer, static_cast<size_t>(n));
  }
  ASSERT_NE(seen.find("VoxmitServer - Running"), std::string::npos) << seen;
  ::close(out[0]);  // nobody reads the log lines any more
  ::kill(pid, SIGTERM);  // the stop writes several
  int status = 0;
  ASSERT_TRUE(WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; },
                        std::chrono::seconds(30)));
  EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  if (WIFEXITED(status)) {
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
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
