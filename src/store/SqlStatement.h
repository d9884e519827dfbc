#pragma once
// One SQLite statement prepared once and run many times, for the statements a write job runs
// per row (storing a batch of messages, marking rows, finishing results, claiming results).
// Poco::Data prepares a statement anew at every execution; in a batch of a few hundred rows
// that parsing was most of the time the write transaction held the database.
//
// Ownership: owns the sqlite3_stmt, finalised in the destructor; it must go before the
// connection it was prepared on, so it lives no longer than the job that made it.
// Threads: the thread running that job.
// Errors: every failure throws EStoreError with SQLite's message; the statement is reset and
// can be run again.

#include <cstdint>
#include <optional>
#include <string>

#include <Poco/Data/Session.h>

struct sqlite3;
struct sqlite3_stmt;

namespace voxmit {

class TSqlStatement {
public:
  TSqlStatement(Poco::Data::Session& session, const char* sql);
  ~TSqlStatement();
  TSqlStatement(const TSqlStatement&) = delete;
  TSqlStatement& operator=(const TSqlStatement&) = delete;

  // Parameters count from 1, as in the SQL text.
  TSqlStatement& Bind(int index, int32_t value);
  TSqlStatement& Bind(int index, const std::string& value);

  // Runs a statement that returns no rows; the rows it changed.
  int Execute();
  // Runs a query; the text of the first column of its first row (a NULL reads as ""), or
  // nothing when it returns no row.
  std::optional<std::string> QueryText();

private:
  [[noreturn]] void Fail(const char* what);
  void Reset();

  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
};

} // namespace voxmit
