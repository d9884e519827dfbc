#include "store/DbSession.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <system_error>

#include <Poco/Data/SQLite/Connector.h>
#include <Poco/Data/SQLite/Utility.h>
#include <Poco/URI.h>
#include <sqlite3.h>

#include "store/schema.h"

using namespace Poco::Data::Keywords;

namespace voxmit {

EDatabaseNotFound::EDatabaseNotFound()
    : EStoreError("Error: \"ServerData.db\" database file not found.\r\rExiting ...") {}

namespace {

void RegisterConnectorOnce() {
  static std::once_flag once;
  std::call_once(once, [] { Poco::Data::SQLite::Connector::registerConnector(); });
}

// "file:" URI with mode=rw: SQLite then refuses to create a missing file.
std::string ReadWriteUri(const std::filesystem::path& file) {
  std::string encoded;
  Poco::URI::encode(std::filesystem::absolute(file).string(), "?#", encoded);
  return "file:" + encoded + "?mode=rw";
}

} // namespace

void ConfigureDbSession(Poco::Data::Session& session) {
  session << "PRAGMA busy_timeout = " + std::to_string(kBusyTimeoutMs), now;
  std::string mode;
  session << "PRAGMA journal_mode = WAL", into(mode), now;
  session << "PRAGMA synchronous = FULL", now;
}

Poco::Data::Session OpenDbSession(const std::filesystem::path& file) {
  RegisterConnectorOnce();
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) throw EDatabaseNotFound();
  if (::access(file.c_str(), R_OK | W_OK) != 0)
    throw EStoreError("Error: \"" + file.filename().string() +
                      "\" can't be opened: " + std::strerror(errno));
  try {
    Poco::Data::Session session("SQLite", ReadWriteUri(file), kOpenTimeoutS);
    ConfigureDbSession(session);
    return session;
  } catch (const Poco::Exception& e) {
    throw EStoreError("Error: \"" + file.filename().string() +
                      "\" can't be opened as a database: " + e.displayText());
  }
}

Poco::Data::Session OpenOrCreateDbFile(const std::filesystem::path& file) {
  RegisterConnectorOnce();
  return Poco::Data::Session("SQLite", file.string(), kOpenTimeoutS);
}

struct TWriteGate::TRequest {
  const TJob* job = nullptr;
  std::exception_ptr error;
  bool done = false;
  // A posted job: owned here, and its owner is told through onDone instead of waiting.
  TJob postedJob;
  TDone onDone;
};

namespace {

// The group the calling thread is writing now: a write begun inside one of its jobs joins it.
struct TOpenGroup {
  TWriteGate* gate = nullptr;
  Poco::Data::Session* session = nullptr;
  int savepoints = 0;
};
thread_local TOpenGroup openGroup;

// Marks the calling thread as writing a group for its scope.
class TGroupScope {
public:
  // A job may lead a group of another file's gate: that group's scope ends before this one's.
  TGroupScope(TWriteGate& gate, Poco::Data::Session& session) : outer_(openGroup) {
    openGroup = {&gate, &session, 0};
  }
  ~TGroupScope() { openGroup = outer_; }
  TGroupScope(const TGroupScope&) = delete;
  TGroupScope& operator=(const TGroupScope&) = delete;

private:
  TOpenGroup outer_;
};

// A savepoint statement failed: the transaction around is in no known state.
class ESavepointFailed : public EStoreError {
public:
  using EStoreError::EStoreError;
};

// Savepoint statements go straight to SQLite: they are run around every job of a group.
void Execute(Poco::Data::Session& session, const std::string& sql) {
  sqlite3* db = Poco::Data::SQLite::Utility::dbHandle(session);
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return;
  const std::string text = message ? message : (db ? sqlite3_errmsg(db) : "no connection");
  sqlite3_free(message);
  throw ESavepointFailed(sql + ": " + text);
}

// Runs job inside a savepoint: what it wrote is undone when it throws, and the exception
// propagates; the transaction around stays open and usable.
void RunInSavepoint(Poco::Data::Session& session, const std::string& name,
                    const TWriteGate::TJob& job) {
  Execute(session, "SAVEPOINT " + name);
  try {
    job(session);
  } catch (...) {
    Execute(session, "ROLLBACK TO " + name);
    Execute(session, "RELEASE " + name);
    throw;
  }
  Execute(session, "RELEASE " + name);
}

} // namespace

void TWriteGate::Run(Poco::Data::Session& session, const TJob& job) {
  if (openGroup.gate == this) {
    // Begun inside a job of the group this thread writes: part of that transaction.
    const std::string name = "nested" + std::to_string(++openGroup.savepoints);
    RunInSavepoint(*openGroup.session, name, job);
    return;
  }
  auto request = std::make_shared<TRequest>();
  request->job = &job;
  std::unique_lock<std::mutex> lock(mutex_);
  queue_.push_back(request);
  done_.wait(lock, [&] { return request->done || !leading_; });
  // Still not done: this thread leads. Its own request is still queued, since a group is
  // taken whole and its requests are done before the next leader may take the queue.
  if (!request->done) LeadWhilePosted(lock, session);
  lock.unlock();
  if (request->error) std::rethrow_exception(request->error);
}

void TWriteGate::Post(Poco::Data::Session& session, TJob job, TDone onDone) {
  auto request = std::make_shared<TRequest>();
  request->postedJob = std::move(job);
  request->job = &request->postedJob;
  request->onDone = std::move(onDone);
  std::unique_lock<std::mutex> lock(mutex_);
  queue_.push_back(std::move(request));
  if (!leading_) LeadWhilePosted(lock, session);
}

void TWriteGate::LeadWhilePosted(std::unique_lock<std::mutex>& lock, Poco::Data::Session& session) {
  for (;;) {
    leading_ = true;
    TGroup group(queue_.begin(), queue_.end());
    queue_.clear();
    lock.unlock();
    try {
      Lead(session, group);
    } catch (...) {
      // Lead reports every database failure through the requests; this is only for what
      // it cannot (no memory): no owner may wait forever, nor take it for success.
      for (const auto& each : group)
        if (!each->error) each->error = std::current_exception();
    }
    for (const auto& each : group) {
      if (!each->onDone) continue;
      try {
        each->onDone(each->error);
      } catch (...) {
        // The owner's affair; the other owners must still be told.
      }
    }
    lock.lock();
    for (const auto& each : group) each->done = true;
    leading_ = false;
    done_.notify_all();
    // A posted job has no thread waiting to lead for it: when only posted jobs wait, this
    // thread writes them too. A waiting thread, when there is one, leads and takes them all.
    const bool onlyPosted =
        !queue_.empty() && std::all_of(queue_.begin(), queue_.end(),
                                       [](const auto& each) { return each->onDone != nullptr; });
    if (!onlyPosted) return;
  }
}

size_t TWriteGate::Queued() {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

void TWriteGate::Lead(Poco::Data::Session& session, TGroup& group) {
  if (!RunGroup(session, group, true)) return;
  // The commit failed: each job again in a transaction of its own, so the failure reaches
  // only the jobs it concerns.
  for (const auto& request : group) {
    TGroup alone{request};
    if (const std::exception_ptr failure = RunGroup(session, alone, false))
      request->error = failure;
  }
}

bool TWriteGate::TakeLateJobs(TGroup& group) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.empty() || group.size() >= kMaxGroupJobs) return false;
  while (!queue_.empty() && group.size() < kMaxGroupJobs) {
    group.push_back(std::move(queue_.front()));
    queue_.pop_front();
  }
  return true;
}

std::exception_ptr TWriteGate::RunGroup(Poco::Data::Session& session, TGroup& group,
                                        bool takeLate) {
  for (int attempt = 1;; ++attempt) {
    try {
      BeginImmediate(session);
    } catch (const Poco::Data::SQLite::DBLockedException&) {
      if (attempt < kWriteAttempts) continue;
      // The lock is not to be had: running each job alone would not get it either.
      for (const auto& request : group) request->error = std::current_exception();
      return nullptr;
    } catch (...) {
      // Also a transaction the caller had open already: it is not ours to roll back.
      for (const auto& request : group) request->error = std::current_exception();
      return nullptr;
    }
    try {
      {
        const TGroupScope scope(*this, session);
        // Jobs queued while the group runs join it before the commit: they share its fsync
        // instead of waiting for it and then paying for one of their own.
        size_t next = 0;
        do {
          for (; next < group.size(); ++next) {
            TRequest& request = *group[next];
            try {
              request.error = nullptr;
              RunInSavepoint(session, "job", *request.job);
            } catch (const ESavepointFailed&) {
              throw;
            } catch (...) {
              request.error = std::current_exception();
            }
          }
        } while (takeLate && TakeLateJobs(group));
      }
      Commit(session);
      return nullptr;
    } catch (const Poco::Data::SQLite::DBLockedException&) {
      RollbackQuietly(session);
      if (attempt >= kWriteAttempts) return std::current_exception();
    } catch (...) {
      RollbackQuietly(session);
      return std::current_exception();
    }
  }
}

TWriteGate& WriteGateOf(Poco::Data::Session& session) {
  // Keyed by the file's full path as SQLite resolved it, so every connection to one file
  // shares one gate. Gates are never removed: a few bytes for each file the process opened.
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<TWriteGate>> gates;
  sqlite3* db = Poco::Data::SQLite::Utility::dbHandle(session);
  const char* name = db ? sqlite3_db_filename(db, "main") : nullptr;
  const std::string key = name ? name : "";
  std::lock_guard<std::mutex> lock(mutex);
  auto& gate = gates[key];
  if (!gate) gate = std::make_unique<TWriteGate>();
  return *gate;
}

void BeginImmediate(Poco::Data::Session& session) { session << "BEGIN IMMEDIATE", now; }

void Commit(Poco::Data::Session& session) { session << "COMMIT", now; }

void RollbackQuietly(Poco::Data::Session& session) noexcept {
  try {
    sqlite3* db = Poco::Data::SQLite::Utility::dbHandle(session);
    if (!db || sqlite3_get_autocommit(db)) return;  // no transaction open
    session << "ROLLBACK", now;
  } catch (...) {
  }
}

} // namespace voxmit
