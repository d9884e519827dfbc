#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace voxmit {

TNSingleInstance::~TNSingleInstance() {
  if (fd_ >= 0) close(fd_);  // closing the descriptor releases the flock
}

std::string TNSingleInstance::LockPath() {
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  if (runtimeDir && *runtimeDir) return std::string(runtimeDir) + "/VoxmitServer.lock";
  return "/tmp/VoxmitServer-" + std::to_string(getuid()) + ".lock";
}

bool TNSingleInstance::Acquire() {
  if (fd_ >= 0) return true;
  const std::string path = LockPath();
  // O_NOFOLLOW: in the shared /tmp another user could plant a symlink under our name.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "open " + path);
  // A lock file planted by another user (or one others may write) could be held by them to
  // keep this server from starting, or swapped under it: refuse it.
  struct stat st {};
  if (fstat(fd, &st) < 0) {
    const int error = errno;
    close(fd);
    throw std::system_error(error, std::generic_category(), "stat " + path);
  }
  if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH))) {
    close(fd);
    throw std::runtime_error("the lock file " + path +
                             " does not belong to this user or can be written by others; "
                             "remove it and start again");
  }
  int r;
  while ((r = flock(fd, LOCK_EX | LOCK_NB)) < 0 && errno == EINTR) {
  }
  if (r == 0) {
    fd_ = fd;
    return true;
  }
  const int error = errno;
  close(fd);
  if (error == EWOULDBLOCK) return false;
  throw std::system_error(error, std::generic_category(), "flock " + path);
}

void TNSingleInstance::SetHolderText(const std::string& text) {
  if (fd_ < 0) throw std::logic_error("SetHolderText without the lock");
  if (ftruncate(fd_, 0) < 0 || pwrite(fd_, text.data(), text.size(), 0) !=
                                   static_cast<ssize_t>(text.size()))
    throw std::system_error(errno, std::generic_category(), "write " + LockPath());
}

std::optional<std::string> TNSingleInstance::ProbeHolder() {
  const std::string path = LockPath();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    // No lock file: no server ran here since the folder was made. One this user may not read
    // may still be held: say so, without a database.
    if (errno == ENOENT) return std::nullopt;
    return std::string();
  }
  int r;
  while ((r = flock(fd, LOCK_SH | LOCK_NB)) < 0 && errno == EINTR) {
  }
  if (r == 0) {
    close(fd);  // releases the probe's lock
    return std::nullopt;
  }
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(fd);
  return text;
}

} // namespace voxmit
