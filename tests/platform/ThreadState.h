#pragma once
// Lets a test wait until another thread is really asleep in a blocking call (poll, a condition
// variable), instead of guessing with a delay. Linux only: reads /proc/self/task/<tid>/stat.

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace voxmit::test {

inline pid_t CurrentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// True while the thread sleeps; false when it runs or has ended.
inline bool IsAsleep(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto name = stat.rfind(')');  // the state follows the parenthesised thread name
  return name != std::string::npos && name + 2 < stat.size() && stat[name + 2] == 'S';
}

} // namespace voxmit::test
