#include "store/DbSession.h"

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

void TWriteGate::Enter() {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::thread::id self = std::this_thread::get_id();
  if (depth_ > 0 && owner_ == self) {
    ++depth_;
    return;
  }
  const uint64_t ticket = nextTicket_++;
  turn_.wait(lock, [&] { return serving_ == ticket; });
  owner_ = self;
  depth_ = 1;
}

void TWriteGate::Leave() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--depth_ > 0) return;
    owner_ = {};
    ++serving_;
  }
  turn_.notify_all();
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
