#pragma once
// A real server from a Debian package, run as a child process on a free loopback port for a
// test: an interpreter runs a script of tests/support that prints "READY <port>" once it
// listens and records what it receives in a file the test reads. Stopped (SIGTERM, then
// SIGKILL) when this object goes.
//
// One thread at a time.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace voxmit::test {

// The folder of the support scripts: $VOXMIT_TEST_SUPPORT_DIR when set, else tests/support of
// the source tree the tests were built from.
std::filesystem::path SupportScriptDir();

class TLocalPeerProcess {
public:
  // Starts program with args (standard error to stderrFile) and waits for its READY line;
  // throws std::runtime_error when it does not come within timeout.
  TLocalPeerProcess(const std::string& program, const std::vector<std::string>& args,
                    const std::filesystem::path& stderrFile,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20));
  ~TLocalPeerProcess();
  TLocalPeerProcess(const TLocalPeerProcess&) = delete;
  TLocalPeerProcess& operator=(const TLocalPeerProcess&) = delete;

  uint16_t Port() const { return port_; }

private:
  void Stop();

  pid_t pid_ = -1;
  int stdout_ = -1;
  uint16_t port_ = 0;
};

} // namespace voxmit::test
