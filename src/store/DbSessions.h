#pragma once
// One database connection per thread on one file. A thread gets its own session on first use
// and keeps it until it ends (the session is closed then) or calls ReleaseThisThread.
//
// Threads: ForThisThread and ReleaseThisThread may be called from any thread; the session
// returned is for the calling thread alone and stays valid until that thread releases it, the
// thread ends, CloseAll runs or this object is destroyed. CloseAll may only run while no other
// thread is inside a database call (the server is stopped). The internal mutex guards the map
// of sessions, never a database call.

#include <filesystem>
#include <memory>

#include <Poco/Data/Session.h>

namespace voxmit {

struct TDbSessionsShared;

class TDbSessions {
public:
  explicit TDbSessions(std::filesystem::path file);
  ~TDbSessions();
  TDbSessions(const TDbSessions&) = delete;
  TDbSessions& operator=(const TDbSessions&) = delete;

  // The calling thread's session, opened on first use (OpenDbSession: throws
  // EDatabaseNotFound or EStoreError).
  Poco::Data::Session& ForThisThread();
  void ReleaseThisThread();
  // Closes every thread's session; each thread opens a fresh one at its next use.
  void CloseAll();
  // Sessions currently open, over all threads.
  size_t OpenCount() const;
  const std::filesystem::path& File() const { return file_; }

private:
  std::filesystem::path file_;
  // Shared with the thread-exit hooks of the threads that hold a session, which may end after
  // this object is gone.
  std::shared_ptr<TDbSessionsShared> shared_;
};

} // namespace voxmit
