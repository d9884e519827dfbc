#include "store/SqlStatement.h"

#include <Poco/Data/SQLite/Utility.h>
#include <sqlite3.h>

#include "store/DbSession.h"

namespace voxmit {

TSqlStatement::TSqlStatement(Poco::Data::Session& session, const char* sql)
    : db_(Poco::Data::SQLite::Utility::dbHandle(session)) {
  if (!db_) throw EStoreError("no database connection");
  if (sqlite3_prepare_v2(db_, sql, -1, &statement_, nullptr) != SQLITE_OK) {
    statement_ = nullptr;
    Fail("preparing");
  }
}

TSqlStatement::~TSqlStatement() { sqlite3_finalize(statement_); }

TSqlStatement& TSqlStatement::Bind(int index, int32_t value) {
  if (sqlite3_bind_int(statement_, index, value) != SQLITE_OK) Fail("binding");
  return *this;
}

TSqlStatement& TSqlStatement::Bind(int index, const std::string& value) {
  if (sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()),
                        SQLITE_TRANSIENT) != SQLITE_OK)
    Fail("binding");
  return *this;
}

int TSqlStatement::Execute() {
  const int rc = sqlite3_step(statement_);
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) Fail("running");
  Reset();
  return sqlite3_changes(db_);
}

std::optional<std::string> TSqlStatement::QueryText() {
  const int rc = sqlite3_step(statement_);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail("running");
  std::optional<std::string> text;
  if (rc == SQLITE_ROW) {
    const auto* chars = reinterpret_cast<const char*>(sqlite3_column_text(statement_, 0));
    const int length = sqlite3_column_bytes(statement_, 0);
    text = chars ? std::string(chars, static_cast<size_t>(length)) : std::string();
  }
  Reset();
  return text;
}

void TSqlStatement::Reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

void TSqlStatement::Fail(const char* what) {
  std::string message = std::string(what) + " \"" +
                        (statement_ ? sqlite3_sql(statement_) : "statement") +
                        "\" failed: " + sqlite3_errmsg(db_);
  if (statement_) Reset();
  throw EStoreError(message);
}

} // namespace voxmit
