#include "support/ServerProcess.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/WaitUntil.h"

namespace voxmit::test {

namespace {
std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}
} // namespace

std::filesystem::path ServerExecutable() {
  const char* exe = std::getenv("VOXMIT_SERVER_EXE");
  if (!exe || !*exe) throw std::runtime_error("VOXMIT_SERVER_EXE is not set (run the tests through ctest)");
  return exe;
}

TServerProcess::TServerProcess(std::filesystem::path home, std::vector<std::string> args,
                               std::optional<std::filesystem::path> runtimeDir)
    : home_(std::move(home)), args_(std::move(args)),
      runtimeDir_(runtimeDir ? *runtimeDir : home_ / "run") {
  static int serial = 0;
  const std::string tag = std::to_string(getpid()) + "-" + std::to_string(++serial);
  out_ = home_ / ("stdout-" + tag + ".txt");
  err_ = home_ / ("stderr-" + tag + ".txt");
}

TServerProcess::~TServerProcess() {
  if (pid_ > 0 && !exitCode_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

void TServerProcess::Start() {
  std::filesystem::create_directories(runtimeDir_);
  const std::string exe = ServerExecutable().string();
  std::vector<std::string> argv{exe};
  argv.insert(argv.end(), args_.begin(), args_.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  // The child's environment is built here: between fork and exec the child may only make
  // async-signal-safe calls. Another thread of the test (a fake peer) may hold the allocator's
  // or the environment's lock at the fork, and the child would wait for it forever.
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (name != "XDG_RUNTIME_DIR" && name != "DISPLAY" && name != "WAYLAND_DISPLAY" &&
        name != "VOXMIT_HOME")
      env.push_back(entry);
  }
  env.push_back("XDG_RUNTIME_DIR=" + runtimeDir_.string());
  std::vector<char*> cenv;
  for (auto& e : env) cenv.push_back(e.data());
  cenv.push_back(nullptr);
  const rlimit limit{static_cast<rlim_t>(descriptorLimit_), static_cast<rlim_t>(descriptorLimit_)};
  const std::string out = out_.string(), err = err_.string();

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int inFd = ::open("/dev/null", O_RDONLY);
    ::dup2(inFd, 0);
    ::dup2(outFd, 1);
    ::dup2(errFd, 2);
    // The test runner may block signals; the child starts with the default mask.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (descriptorLimit_ > 0) ::setrlimit(RLIMIT_NOFILE, &limit);
    ::execve(exe.c_str(), cargv.data(), cenv.data());
    ::_exit(127);
  }
}

std::optional<int> TServerProcess::WaitExit(std::chrono::milliseconds timeout) {
  if (exitCode_) return exitCode_;
  if (pid_ <= 0) return std::nullopt;
  WaitUntil([this] {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) exitCode_ = DecodeStatus(status);
    return exitCode_.has_value();
  }, timeout);
  return exitCode_;
}

void TServerProcess::Signal(int signalNo) {
  if (pid_ > 0 && !exitCode_) ::kill(pid_, signalNo);
}

bool TServerProcess::Running() {
  return pid_ > 0 && !WaitExit(std::chrono::milliseconds(0)).has_value();
}

std::string TServerProcess::Stdout() const { return ReadFile(out_); }
std::string TServerProcess::Stderr() const { return ReadFile(err_); }

bool TServerProcess::WaitForStdout(const std::string& text, std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return Stdout().find(text) != std::string::npos; }, timeout);
}

int RunServerCommand(const std::vector<std::string>& args, std::string* out, std::string* err,
                     std::optional<std::filesystem::path> runtimeDir) {
  char tmpl[] = "/tmp/voxmit-cmd-XXXXXX";
  if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  const std::filesystem::path scratch = tmpl;
  std::optional<int> code;
  {
    TServerProcess p(scratch, args, runtimeDir);
    p.Start();
    code = p.WaitExit(std::chrono::seconds(60));
    if (out) *out = p.Stdout();
    if (err) *err = p.Stderr();
  }
  std::error_code ec;
  std::filesystem::remove_all(scratch, ec);
  if (!code) throw std::runtime_error("the server command did not end");
  return *code;
}

void CreateTestDatabase(const std::filesystem::path& home) {
  std::string err;
  if (RunServerCommand({"--create-database", "--home", home.string()}, nullptr, &err) != 0)
    throw std::runtime_error("--create-database failed: " + err);
}

int FreeTcpPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

} // namespace voxmit::test
