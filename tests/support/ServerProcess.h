#pragma once
// Runs the built server program as a child process for end-to-end tests: its own home folder,
// its own runtime folder (so single-instance locks of parallel tests never meet), standard
// output and error captured to files in the home folder. The child is killed if still running
// when this object goes.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace voxmit::test {

// The server executable: $VOXMIT_SERVER_EXE (set by CTest).
std::filesystem::path ServerExecutable();

class TServerProcess {
public:
  // runtimeDir: the XDG_RUNTIME_DIR of the child (default: home/run).
  TServerProcess(std::filesystem::path home, std::vector<std::string> args,
                 std::optional<std::filesystem::path> runtimeDir = std::nullopt);
  ~TServerProcess();
  TServerProcess(const TServerProcess&) = delete;
  TServerProcess& operator=(const TServerProcess&) = delete;

  // The child's descriptor limit (RLIMIT_NOFILE), set before Start; 0 leaves the inherited one.
  void SetDescriptorLimit(int limit) { descriptorLimit_ = limit; }
  void Start();
  pid_t Pid() const { return pid_; }
  // Waits for the exit; the exit code, or nullopt on timeout. A death by signal is 128+signal.
  std::optional<int> WaitExit(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  void Signal(int signalNo);
  bool Running();

  std::string Stdout() const;
  std::string Stderr() const;
  // Waits until standard output holds text. The default leaves a start room on a loaded
  // machine (an ASan build starting while other tests run).
  bool WaitForStdout(const std::string& text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(60)) const;

private:
  std::filesystem::path home_;
  std::vector<std::string> args_;
  std::filesystem::path runtimeDir_;
  std::filesystem::path out_, err_;
  pid_t pid_ = -1;
  int descriptorLimit_ = 0;
  std::optional<int> exitCode_;
};

// Runs the program to the end with the given arguments; returns its exit code, and its output
// through the out-parameters when given.
int RunServerCommand(const std::vector<std::string>& args, std::string* out = nullptr,
                     std::string* err = nullptr,
                     std::optional<std::filesystem::path> runtimeDir = std::nullopt);

// Creates ServerData.db in home with the program itself.
void CreateTestDatabase(const std::filesystem::path& home);

// A free TCP port on the loopback interface (bound and released).
int FreeTcpPort();

} // namespace voxmit::test
