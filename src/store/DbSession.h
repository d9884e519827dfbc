#pragma once
// Connections to the database file and the write transactions on them.
//
// A Poco::Data::Session belongs to one thread at a time. Every write goes through
// RunWriteTransaction, which starts with BEGIN IMMEDIATE: a deferred transaction that reads
// first would fail at once with "busy" when it later tries to write, whatever the busy timeout.
//
// The write transactions of this process on one file are gathered into groups, each written
// in one transaction by one of the waiting threads (TWriteGate, below).

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include <Poco/Data/SQLite/SQLiteException.h>
#include <Poco/Data/Session.h>

namespace voxmit {

// A store operation that cannot go on: missing or unreadable file, wrong schema.
class EStoreError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The database file does not exist; what() is the text shown to the operator.
class EDatabaseNotFound : public EStoreError {
public:
  EDatabaseNotFound();
};

// Milliseconds a statement waits for another connection's lock before it reports "busy".
constexpr int kBusyTimeoutMs = 30000;
// Seconds an open may take. The connector reports a failed open only when this has passed,
// so the callers check what they can beforehand and the wait stays short.
constexpr std::size_t kOpenTimeoutS = 10;
// How often a whole write transaction is tried when the lock could not be had in time.
constexpr int kWriteAttempts = 3;

// Opens an existing database file for reading and writing (never creates it), in WAL mode
// with synchronous=FULL and the busy timeout. Throws EDatabaseNotFound when the file is
// missing and EStoreError when it is not a database.
Poco::Data::Session OpenDbSession(const std::filesystem::path& file);

// Opens (creating it when missing) a plain file path; kOpenTimeoutS applies.
Poco::Data::Session OpenOrCreateDbFile(const std::filesystem::path& file);

// Sets the per-connection pragmas (WAL, synchronous=FULL, busy timeout).
void ConfigureDbSession(Poco::Data::Session& session);

// Group commit of the write transactions of this process on one database file.
//
// A thread that wants to write queues its job and waits. The first waiting thread that finds
// no group being written leads: it takes every job queued for the file, in the order they
// came, runs them one after the other in one BEGIN IMMEDIATE ... COMMIT on its own connection
// and then tells each owner how its job ended. Jobs queued while the group runs join it before
// its commit (up to kMaxGroupJobs in all); those queued during the commit wait for the next
// group, led by one of their threads. Every stage of the server that writes (intake, the iterators
// marking and finishing rows, the confirmation threads' claims, the scheduler, maintenance)
// thus shares one commit, and one fsync, with whatever else was waiting.
//
// Each job of a group runs inside a savepoint: a job that throws is rolled back
// alone and its owner gets the exception, the others commit. When the commit itself fails
// the group is rolled back and each job is run again in a transaction of its own, so the
// failure is reported to the jobs it concerns. A job must therefore do nothing but database
// work on the connection it is handed (it may run on another thread, and may run again), and
// take no lock that its owner may hold while it waits.
//
// No thread of this process ever waits in SQLite's busy handler for another: they wait here,
// on a condition variable, first come first served. The busy handler is met only when another
// process (an operator's sqlite3) holds the lock. Reads take no turn: in WAL they run beside
// a writer.
//
// A write begun inside a job (on the thread that runs it, for the same file) runs at once in
// the open transaction, inside a savepoint of its own, on the connection of the group.
//
// Threads: any. The internal mutex guards only the queue and is never held across database
// work.
class TWriteGate {
public:
  using TJob = std::function<void(Poco::Data::Session&)>;

  // Runs job in a write transaction of this file, with the jobs of other threads, and returns
  // once that transaction has committed; rethrows what the job threw, or the error that kept
  // the transaction from committing (nothing of the job is then written). session is the
  // caller's connection, used when the caller leads.
  void Run(Poco::Data::Session& session, const TJob& job);

  // Told how a posted job ended: null once its group has committed, else what kept it from
  // being written (nothing of it is then written).
  using TDone = std::function<void(std::exception_ptr error)>;
  // Queues job and returns at once, so the caller can go on while it waits for its group; only
  // when no group is being written does the caller write this one itself, as Run would. onDone
  // runs on the thread that wrote the group, after the commit: it must be quick and must not
  // write to the database.
  void Post(Poco::Data::Session& session, TJob job, TDone onDone);
  // Jobs waiting for the next group now.
  size_t Queued();

private:
  struct TRequest;
  using TGroup = std::vector<std::shared_ptr<TRequest>>;
  // A steady stream of jobs must not hold its first jobs' commit back for long.
  static constexpr size_t kMaxGroupJobs = 64;

  // Writes the queue as one group, and again while the queue holds posted jobs only (no
  // waiting thread would write them). Called and returns with lock held.
  void LeadWhilePosted(std::unique_lock<std::mutex>& lock, Poco::Data::Session& session);
  void Lead(Poco::Data::Session& session, TGroup& group);
  // Runs group in one transaction, each job in a savepoint, with the jobs queued meanwhile
  // when takeLate (added to group). Null when the group committed or could not begin (the
  // jobs' errors then say so); else what made it roll back once its jobs had run.
  std::exception_ptr RunGroup(Poco::Data::Session& session, TGroup& group, bool takeLate);
  // Moves queued jobs into group, up to kMaxGroupJobs in all; false when none was moved.
  bool TakeLateJobs(TGroup& group);

  std::mutex mutex_;
  std::condition_variable done_;
  std::deque<std::shared_ptr<TRequest>> queue_;
  bool leading_ = false;
};

// The gate of the file session is open on (one per file for the life of the process).
TWriteGate& WriteGateOf(Poco::Data::Session& session);

// Runs body(connection) in a write transaction (TWriteGate) and returns its result once that
// transaction has committed. Any exception of body rolls body's work back and propagates.
// body must use the connection it is handed, not the caller's: it may run on another thread's
// connection, in a transaction shared with others; name its parameter after the caller's
// connection ([&](auto& session) {...}) so that the caller's cannot be reached inside it.
// When the write lock could not be had within the busy timeout the whole transaction is tried
// again, up to kWriteAttempts times, so body must do nothing but database work (and collect
// what it read).
template <class Body>
auto RunWriteTransaction(Poco::Data::Session& session, Body&& body) -> decltype(body(session)) {
  using TResult = decltype(body(session));
  TWriteGate& gate = WriteGateOf(session);
  if constexpr (std::is_void_v<TResult>) {
    gate.Run(session, [&](Poco::Data::Session& connection) { body(connection); });
  } else {
    std::optional<TResult> result;
    gate.Run(session, [&](Poco::Data::Session& connection) { result.emplace(body(connection)); });
    return std::move(*result);
  }
}

void BeginImmediate(Poco::Data::Session& session);
void Commit(Poco::Data::Session& session);
// Rolls back if a transaction is open; never throws.
void RollbackQuietly(Poco::Data::Session& session) noexcept;

} // namespace voxmit
