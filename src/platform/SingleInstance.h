#pragma once
// One server per user and runtime folder: an exclusive flock on VoxmitServer.lock in
// $XDG_RUNTIME_DIR, or /tmp/VoxmitServer-<uid>.lock without it. Held until destroyed.

#include <string>

namespace voxmit {

class TNSingleInstance {
public:
  TNSingleInstance() = default;
  ~TNSingleInstance();
  TNSingleInstance(const TNSingleInstance&) = delete;
  TNSingleInstance& operator=(const TNSingleInstance&) = delete;

  // True when this process now holds the lock; false when another process holds it.
  // Throws std::system_error when the lock file cannot be opened, std::runtime_error when it
  // is not a regular file of this user that only this user may write.
  bool Acquire();
  static std::string LockPath();

private:
  int fd_ = -1;
};

} // namespace voxmit
