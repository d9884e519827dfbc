#include "store/DbSessions.h"

#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "store/DbSession.h"

namespace voxmit {

struct TDbSessionsShared {
  std::mutex Mutex;  // guards Sessions
  std::map<std::thread::id, std::unique_ptr<Poco::Data::Session>> Sessions;

  // Takes the thread's session out of the map; the caller closes it outside the lock.
  std::unique_ptr<Poco::Data::Session> Take(std::thread::id id) {
    std::lock_guard<std::mutex> lock(Mutex);
    auto it = Sessions.find(id);
    if (it == Sessions.end()) return nullptr;
    std::unique_ptr<Poco::Data::Session> session = std::move(it->second);
    Sessions.erase(it);
    return session;
  }
};

namespace {

// Closes a thread's sessions when the thread ends, so a session never outlives its thread and
// a later thread with a reused id never inherits one.
struct TThreadExitHook {
  std::vector<std::weak_ptr<TDbSessionsShared>> Owners;

  void Watch(const std::shared_ptr<TDbSessionsShared>& owner) {
    std::erase_if(Owners, [](const auto& w) { return w.expired(); });
    for (const auto& w : Owners)
      if (w.lock() == owner) return;
    Owners.push_back(owner);
  }

  ~TThreadExitHook() {
    const std::thread::id id = std::this_thread::get_id();
    for (const auto& w : Owners)
      if (auto owner = w.lock()) owner->Take(id);
  }
};

thread_local TThreadExitHook threadExitHook;

} // namespace

TDbSessions::TDbSessions(std::filesystem::path file)
    : file_(std::move(file)), shared_(std::make_shared<TDbSessionsShared>()) {}

TDbSessions::~TDbSessions() { CloseAll(); }

Poco::Data::Session& TDbSessions::ForThisThread() {
  const std::thread::id id = std::this_thread::get_id();
  {
    std::lock_guard<std::mutex> lock(shared_->Mutex);
    auto it = shared_->Sessions.find(id);
    if (it != shared_->Sessions.end()) return *it->second;
  }
  // Opened outside the lock: opening touches the file and may wait for it.
  auto session = std::make_unique<Poco::Data::Session>(OpenDbSession(file_));
  threadExitHook.Watch(shared_);
  std::lock_guard<std::mutex> lock(shared_->Mutex);
  auto& slot = shared_->Sessions[id];
  slot = std::move(session);
  return *slot;
}

void TDbSessions::ReleaseThisThread() { shared_->Take(std::this_thread::get_id()); }

void TDbSessions::CloseAll() {
  std::map<std::thread::id, std::unique_ptr<Poco::Data::Session>> closing;
  {
    std::lock_guard<std::mutex> lock(shared_->Mutex);
    closing.swap(shared_->Sessions);
  }
}

size_t TDbSessions::OpenCount() const {
  std::lock_guard<std::mutex> lock(shared_->Mutex);
  return shared_->Sessions.size();
}

} // namespace voxmit
