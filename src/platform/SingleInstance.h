#pragma once
// One server per user and runtime folder: an exclusive flock on VoxmitServer.lock in
// $XDG_RUNTIME_DIR, or /tmp/VoxmitServer-<uid>.lock without it. Held until destroyed.

#include <optional>
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

  // Writes text into the held lock file (the holder names its database there, so that tools
  // can tell which database a running server uses). Throws std::system_error on failure.
  void SetHolderText(const std::string& text);
  // Whether a process holds the lock at LockPath(): nothing when none does, else the text the
  // holder wrote (empty when it wrote none, or when the file exists but cannot be read, so
  // that a server of another user counts as possibly running). The file is only read. Taking
  // the probe's shared lock for a moment could make a server starting in that very moment
  // refuse to start as a second instance.
  static std::optional<std::string> ProbeHolder();

private:
  int fd_ = -1;
};

} // namespace voxmit
