#include "support/LocalPeerProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#include "support/WaitUntil.h"

namespace voxmit::test {

std::filesystem::path SupportScriptDir() {
  if (const char* dir = std::getenv("VOXMIT_TEST_SUPPORT_DIR")) return dir;
  return VOXMIT_TEST_SUPPORT_SOURCE_DIR;
}

TLocalPeerProcess::TLocalPeerProcess(const std::string& program,
                                     const std::vector<std::string>& args,
                                     const std::filesystem::path& stderrFile,
                                     std::chrono::milliseconds timeout) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const int errFd = ::open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    if (errFd >= 0) ::dup2(errFd, STDERR_FILENO);
    ::execv(program.c_str(), cargv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  if (errFd >= 0) ::close(errFd);
  stdout_ = pipeFds[0];

  std::string line;
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (line.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd fd{stdout_, POLLIN, 0};
    char buffer[256];
    ssize_t n = 0;
    if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0 ||
        (n = ::read(stdout_, buffer, sizeof buffer)) <= 0) {
      Stop();
      throw std::runtime_error(program + " did not report READY: " + line);
    }
    line.append(buffer, static_cast<size_t>(n));
  }
  if (line.rfind("READY ", 0) != 0) {
    Stop();
    throw std::runtime_error(program + " said: " + line);
  }
  port_ = static_cast<uint16_t>(std::stoi(line.substr(6)));
}

TLocalPeerProcess::~TLocalPeerProcess() { Stop(); }

void TLocalPeerProcess::Stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    const bool ended = WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; },
                                 std::chrono::seconds(5));
    if (!ended) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  if (stdout_ >= 0) ::close(stdout_);
  stdout_ = -1;
}

} // namespace voxmit::test
