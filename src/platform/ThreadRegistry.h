#pragma once
// Threads that end by themselves (a connection's read thread, for one) never outlive what they
// use: the object a thread serves is owned by the thread through a shared_ptr, and this
// registry counts running threads so that StopServer and exit can wait for all of them.
// Safe to call from any thread. mutex_ guards running_. A registry must outlive its threads:
// use Instance(), or WaitAll before destroying one of your own.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace voxmit {

class TNThreadRegistry {
public:
  static TNThreadRegistry& Instance();

  TNThreadRegistry() = default;
  TNThreadRegistry(const TNThreadRegistry&) = delete;
  TNThreadRegistry& operator=(const TNThreadRegistry&) = delete;

  // Starts a detached thread running body; the registry counts it until body returns.
  // An exception escaping body is logged to stderr, never propagated.
  void Spawn(std::string name, std::function<void()> body);
  // Waits until no registered thread runs; false on timeout.
  bool WaitAll(int32_t timeoutMs);
  int Running() const;

private:
  static void Run(const std::string& name, const std::function<void()>& body);

  mutable std::mutex mutex_;
  std::condition_variable done_;
  int running_ = 0;
};

} // namespace voxmit
