#include "platform/ThreadRegistry.h"

#include <pthread.h>

#include <chrono>
#include <exception>
#include <iostream>
#include <thread>

namespace voxmit {

TNThreadRegistry& TNThreadRegistry::Instance() {
  static TNThreadRegistry registry;
  return registry;
}

void TNThreadRegistry::Spawn(std::string name, std::function<void()> body) {
  {
    std::lock_guard lock(mutex_);
    ++running_;
  }
  try {
    std::thread([this, name = std::move(name), body = std::move(body)]() mutable {
      Run(name, body);
      // What the body captured (the object the thread served) dies before the thread is
      // counted out, so WaitAll never returns while it still lives.
      body = nullptr;
      std::lock_guard lock(mutex_);
      --running_;
      done_.notify_all();
    }).detach();
  } catch (...) {
    std::lock_guard lock(mutex_);
    --running_;
    done_.notify_all();
    throw;
  }
}

void TNThreadRegistry::Run(const std::string& name, const std::function<void()>& body) {
  // Shown by ps and gdb; the kernel keeps 15 characters.
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
  try {
    body();
  } catch (const std::exception& e) {
    std::cerr << "Thread " << name << " ended by an exception: " << e.what() << std::endl;
  } catch (...) {
    std::cerr << "Thread " << name << " ended by an unknown exception" << std::endl;
  }
}

bool TNThreadRegistry::WaitAll(int32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  const auto none = [this] { return running_ == 0; };
  if (timeoutMs < 0) {
    done_.wait(lock, none);
    return true;
  }
  return done_.wait_for(lock, std::chrono::milliseconds(timeoutMs), none);
}

int TNThreadRegistry::Running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

} // namespace voxmit
