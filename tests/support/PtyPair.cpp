#include "support/PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace voxmit::test {
namespace {

constexpr int kTickMs = 10;

void SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
    throw std::system_error(errno, std::generic_category(), "fcntl");
}

} // namespace

PtyPair::PtyPair() {
  termios raw{};
  cfmakeraw(&raw);
  cfsetispeed(&raw, B9600);
  cfsetospeed(&raw, B9600);
  char name[128] = {};
  if (openpty(&master_, &slaveHold_, name, &raw, nullptr) < 0)
    throw std::system_error(errno, std::generic_category(), "openpty");
  slavePath_ = name;
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slaveHold_, F_SETFD, FD_CLOEXEC);
  SetNonBlocking(master_);
}

PtyPair::~PtyPair() {
  CloseMaster();
  if (slaveHold_ >= 0) close(slaveHold_);
}

void PtyPair::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void PtyPair::WriteMaster(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(master_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{master_, POLLOUT, 0};
      poll(&p, 1, kTickMs);
    } else {
      throw std::system_error(errno, std::generic_category(), "write pty master");
    }
  }
}

std::string PtyPair::ReadMasterUntil(std::string_view expected, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string got;
  while (got.find(expected) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, kTickMs) <= 0 || !(p.revents & POLLIN)) continue;
    char buf[512];
    const ssize_t n = read(master_, buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

PtyLine::PtyLine(PtyPair& pty, FakeLinePeer& peer, int baudRate)
    : pty_(pty), peer_(peer), baudRate_(baudRate) {}

PtyLine::~PtyLine() { Stop(); }

void PtyLine::Start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
}

void PtyLine::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void PtyLine::Run() {
  peer_.OnConnect(*this);
  char buf[1024];
  while (!stop_) {
    pollfd p{pty_.MasterFd(), POLLIN, 0};
    const int r = poll(&p, 1, kTickMs);
    if (r > 0 && (p.revents & POLLIN)) {
      const ssize_t n = read(pty_.MasterFd(), buf, sizeof buf);
      if (n > 0) peer_.OnReceive(std::string_view(buf, static_cast<size_t>(n)), *this);
    } else if (r > 0) {
      // Hung up or closed: nothing to read until the test stops the line.
      std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
    }
    peer_.OnTick(*this);
  }
}

void PtyLine::Send(std::string_view bytes) {
  if (baudRate_ <= 0) {
    WriteAll(bytes);
    return;
  }
  const auto perByte = std::chrono::microseconds(10'000'000 / baudRate_);
  for (char c : bytes) {
    std::this_thread::sleep_for(perByte);
    WriteAll(std::string_view(&c, 1));
  }
}

void PtyLine::WriteAll(std::string_view bytes) {
  while (!bytes.empty() && !stop_) {
    const ssize_t n = write(pty_.MasterFd(), bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{pty_.MasterFd(), POLLOUT, 0};
      poll(&p, 1, kTickMs);
    } else {
      return;  // the master is gone; the test is tearing down
    }
  }
}

} // namespace voxmit::test
