#pragma once
// Connections to the database file and the write transactions on them.
//
// A Poco::Data::Session belongs to one thread at a time. Every write goes through
// RunWriteTransaction, which starts with BEGIN IMMEDIATE: a deferred transaction that reads
// first would fail at once with "busy" when it later tries to write, whatever the busy timeout.
//
// The write transactions of this process on one file take turns in the order they asked
// (TWriteGate): a writer waits for the one before it in process, on a condition variable,
// and never in SQLite's busy handler, which sleeps in growing steps and lets a late writer
// overtake one that has waited long. The busy handler is then met only when another process
// (an operator's sqlite3) holds the lock. Reads take no turn: in WAL they run beside a writer.

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

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

// Runs body between BEGIN IMMEDIATE and COMMIT on session and returns its result. Any
// exception rolls the transaction back and propagates. When the write lock could not be had
// within the busy timeout the whole transaction is tried again, up to kWriteAttempts times,
// so body must do nothing but database work (and collect what it read).
// First come, first served turns for the write transactions of this process on one database
// file. Re-entrant for the thread that holds it, so a write begun inside another's body on the
// same file waits for nobody. Any thread; the internal mutex guards only the turn counters.
class TWriteGate {
public:
  void Enter();
  void Leave();

private:
  std::mutex mutex_;
  std::condition_variable turn_;
  uint64_t nextTicket_ = 0;
  uint64_t serving_ = 0;
  std::thread::id owner_;
  int depth_ = 0;
};

// The gate of the file session is open on (one per file for the life of the process).
TWriteGate& WriteGateOf(Poco::Data::Session& session);

// Holds a gate's turn for its scope.
class TWriteTurn {
public:
  explicit TWriteTurn(TWriteGate& gate) : gate_(gate) { gate_.Enter(); }
  ~TWriteTurn() { gate_.Leave(); }
  TWriteTurn(const TWriteTurn&) = delete;
  TWriteTurn& operator=(const TWriteTurn&) = delete;

private:
  TWriteGate& gate_;
};

template <class Body>
auto RunWriteTransaction(Poco::Data::Session& session, Body&& body) -> decltype(body());

void BeginImmediate(Poco::Data::Session& session);
void Commit(Poco::Data::Session& session);
// Rolls back if a transaction is open; never throws.
void RollbackQuietly(Poco::Data::Session& session) noexcept;

template <class Body>
auto RunWriteTransaction(Poco::Data::Session& session, Body&& body) -> decltype(body()) {
  const TWriteTurn turn(WriteGateOf(session));
  for (int attempt = 1;; ++attempt) {
    try {
      BeginImmediate(session);
    } catch (const Poco::Data::SQLite::DBLockedException&) {
      if (attempt >= kWriteAttempts) throw;
      continue;
    }
    // From here on the transaction is ours to end; one the caller had open (BEGIN failed
    // above) is never rolled back here.
    try {
      if constexpr (std::is_void_v<decltype(body())>) {
        body();
        Commit(session);
        return;
      } else {
        auto result = body();
        Commit(session);
        return result;
      }
    } catch (const Poco::Data::SQLite::DBLockedException&) {
      RollbackQuietly(session);
      if (attempt >= kWriteAttempts) throw;
    } catch (...) {
      RollbackQuietly(session);
      throw;
    }
  }
}

} // namespace voxmit
