#include "store/dmodData.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <Poco/Format.h>
#include <Poco/Data/SQLite/Utility.h>
#include <Poco/Nullable.h>
#include <sqlite3.h>

#include "common/MessageCounters.h"
#include "host/LogFile.h"
#include "platform/HomeFolder.h"
#include "platform/OperatorUi.h"
#include "store/DbSession.h"
#include "store/DbTime.h"
#include "store/schema.h"

using namespace Poco::Data::Keywords;

namespace voxmit {

namespace {

// An open file descriptor, closed on scope exit.
class TFd {
public:
  TFd(const std::filesystem::path& path, int flags) : fd_(::open(path.c_str(), flags)) {}
  ~TFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  // Flushes the file (or directory entry) to disk; throws on failure.
  void Sync(const std::filesystem::path& path) const {
    if (fd_ < 0 || ::fsync(fd_) != 0)
      throw std::system_error(errno, std::generic_category(), "fsync " + path.string());
  }

private:
  int fd_;
};

std::filesystem::path WithSuffix(const std::filesystem::path& file, const char* suffix) {
  return file.string() + suffix;
}

// The compaction proper; throws on any failure, leaving the database file in place.
void CompactFile(const std::filesystem::path& file) {
  const std::filesystem::path temp = file.parent_path() / (kTempFilePrefix + file.filename().string());
  std::filesystem::remove(temp);
  {
    Poco::Data::Session session = OpenDbSession(file);
    session << "VACUUM INTO ?", bind(temp.string()), now;
  }
  TFd(temp, O_RDONLY).Sync(temp);
  // The last connection to close removes the -wal file. If it is still there, some other
  // connection (another process, the settings connection) has the file open and would go on
  // writing to the replaced file: leave everything as it was.
  if (std::filesystem::exists(WithSuffix(file, "-wal"))) {
    std::filesystem::remove(temp);
    throw EStoreError("database still open elsewhere");
  }
  // rename replaces the file in one step: no moment without a database file.
  std::filesystem::rename(temp, file);
  TFd(file.parent_path(), O_RDONLY | O_DIRECTORY).Sync(file.parent_path());
}

} // namespace

TDMData::TDMData(std::filesystem::path file) : sessions_(std::move(file)) {
  NoteFileIdentity();
  CheckSchema(sessions_.ForThisThread());
}

TDMData::~TDMData() = default;

std::filesystem::path TDMData::DefaultDatabaseFile() { return HomeFolder() / kDatabaseFileName; }

void TDMData::CheckSchema(Poco::Data::Session& session) const {
  const std::string fileName = File().filename().string();
  try {
    for (const TTableDef& table : DatabaseTables()) {
      std::vector<std::string> names;
      session << "SELECT name FROM pragma_table_info(?) ORDER BY cid", bind(table.Name),
          into(names), now;
      std::vector<std::string> expected;
      for (const TColumnDef& column : table.Columns) expected.push_back(column.Name);
      if (names != expected)
        throw EStoreError("Error: \"" + fileName + "\" is not a VoxmitServer2 database: table " +
                          table.Name + " is missing or has other columns.");
    }
  } catch (const Poco::Exception& e) {
    throw EStoreError("Error: \"" + fileName + "\" can't be read: " + e.displayText());
  }
}

void TDMData::LoadCarriers(TCarriersList& list) {
  std::vector<int32_t> ids, types;
  std::vector<std::string> data, guids, times;
  ThreadSession() << "SELECT CarrierID, CarrierType, CarrierData, IntroducedByGUID, "
                     "IntroducedTime FROM Carriers ORDER BY CarrierID",
      into(ids), into(types), into(data), into(guids), into(times), now;
  Poco::Nullable<int32_t> largest;
  ThreadSession() << "SELECT MAX(m) FROM (SELECT MAX(CarrierID) AS m FROM Carriers "
                     "UNION ALL SELECT MAX(CarrierID) FROM Messages "
                     "UNION ALL SELECT MAX(CarrierID) FROM SentMessages "
                     "UNION ALL SELECT MAX(CarrierID) FROM ArchivedMessages)",
      into(largest), now;
  list.BeginWrite();
  list.LargestStoredCarrierID = largest.isNull() ? 0 : largest.value();
  list.Clear();
  for (size_t i = 0; i < ids.size(); ++i)
    list.Add(std::make_shared<TCarrier>(TCarrierRow{.CarrierID = ids[i],
                                                    .CarrierType = types[i],
                                                    .CarrierData = data[i],
                                                    .IntroducedByGUID = guids[i],
                                                    .IntroducedTime = times[i]}));
  list.ResetStates();
  list.EndWrite();
}

bool TDMData::StoreCarrier(TCarrier& carrier) {
  try {
    Poco::Data::Session& session = ThreadSession();
    RunWriteTransaction(session, [&](auto& session) {
      session << "INSERT INTO Carriers (CarrierID, CarrierType, CarrierData, IntroducedByGUID, "
                 "IntroducedTime) VALUES (?, ?, ?, ?, ?)",
          bind(carrier.CarrierID), bind(carrier.CarrierType), bind(carrier.CarrierData),
          bind(carrier.IntroducedByGUID), bind(carrier.IntroducedTime), now;
    });
    carrier.IsNew = false;
    return true;
  } catch (const std::exception& e) {
    LogMessage(Poco::format("TDMData: storing carrier %d failed: %s", carrier.CarrierID,
                            ErrorText(e)));
    return false;
  }
}

namespace {

// Inside a write job: stores the rows as accepted messages; their IDs in order.
std::vector<int32_t> InsertMessageRows(Poco::Data::Session& session,
                                       const std::vector<TNewMessageRow>& rows) {
  std::vector<int32_t> ids;
  ids.reserve(rows.size());
  // One statement for the batch, prepared once.
  const std::string timeReceived = DbNow();
  TSqlStatement insert(session,
                       "INSERT INTO Messages (ClientGUID, ClientRecordID, CarrierType, CarrierID, "
                       "TimeReceived, ReceiveConfirmed, PagerID, RetryTimes, MessageText) "
                       "VALUES (?, ?, ?, ?, ?, 1, ?, 0, ?)");
  sqlite3* db = Poco::Data::SQLite::Utility::dbHandle(session);
  for (const TNewMessageRow& row : rows) {
    insert.Bind(1, CutGUID(row.ClientGUID))
        .Bind(2, row.ClientRecordID)
        .Bind(3, row.CarrierType)
        .Bind(4, row.CarrierID)
        .Bind(5, timeReceived)
        .Bind(6, row.PagerID)
        .Bind(7, row.MessageText)
        .Execute();
    // Nothing else runs on this connection during the job: its last insert is the one above.
    ids.push_back(static_cast<int32_t>(sqlite3_last_insert_rowid(db)));
  }
  return ids;
}

void LogBatchFailure(size_t count, const std::string& error) {
  LogMessage(
      Poco::format("TDMData: storing a batch of %z messages failed, storing each on "
                   "its own: %s",
                   count, error));
}

} // namespace

std::optional<int32_t> TDMData::InsertNewMessage(const std::string& clientGUID,
                                                 int32_t clientRecordID, int32_t carrierType,
                                                 int32_t carrierID, const std::string& pagerID,
                                                 const std::string& messageText) {
  try {
    Poco::Data::Session& session = ThreadSession();
    const std::vector<TNewMessageRow> row{
        {clientGUID, clientRecordID, carrierType, carrierID, pagerID, messageText}};
    const int32_t id = RunWriteTransaction(
        session, [&](auto& session) { return InsertMessageRows(session, row).front(); });
    TMessageCounters::Instance().CountStored();
    return id;
  } catch (const std::exception& e) {
    LogMessage(Poco::format("TDMData: storing message %d of client %s failed: %s", clientRecordID,
                            clientGUID, ErrorText(e)));
    return std::nullopt;
  }
}

void TDMData::PostNewMessages(std::vector<TNewMessageRow> rows, TStoredMessages stored) {
  // Shared by the job, which fills the IDs, and the report that follows its commit.
  struct TBatch {
    std::vector<TNewMessageRow> Rows;
    std::vector<int32_t> IDs;
  };
  auto batch = std::make_shared<TBatch>();
  batch->Rows = std::move(rows);
  try {
    Poco::Data::Session& session = ThreadSession();
    WriteGateOf(session).Post(
        session,
        [batch](Poco::Data::Session& session) {
          batch->IDs = InsertMessageRows(session, batch->Rows);
        },
        [batch, stored = std::move(stored)](std::exception_ptr error) {
          if (!error) {
            TMessageCounters::Instance().CountStored(batch->IDs.size());
            stored(std::move(batch->IDs));
            return;
          }
          try {
            std::rethrow_exception(error);
          } catch (const std::exception& e) {
            LogBatchFailure(batch->Rows.size(), ErrorText(e));
          } catch (...) {
            LogBatchFailure(batch->Rows.size(), "unknown error");
          }
          stored(std::nullopt);
        });
  } catch (const std::exception& e) {
    // No connection: nothing was queued.
    LogBatchFailure(batch->Rows.size(), ErrorText(e));
    stored(std::nullopt);
  }
}

bool TDMData::MarkReplyUndelivered(int32_t messageKind, int32_t recordID) {
  std::string sql;
  if (messageKind == MK_MESSAGE_ACCEPTED || messageKind == MK_MESSAGE_ACCEPT_ERROR)
    sql = "UPDATE Messages SET ReceiveConfirmed = 0 WHERE ID = ?";
  else if (messageKind == MK_MESSAGE_SENT || messageKind == MK_MESSAGE_SEND_ERROR)
    sql = "UPDATE SentMessages SET SendConfirmed = 0 WHERE ID = ?";
  else
    return true;
  try {
    Poco::Data::Session& session = ThreadSession();
    RunWriteTransaction(session, [&](auto& session) { session << sql, bind(recordID), now; });
    return true;
  } catch (const std::exception& e) {
    LogMessage(Poco::format("TDMData: marking reply %d for record %d undelivered failed: %s",
                            messageKind, recordID, ErrorText(e)));
    return false;
  }
}

int32_t TDMData::RejectMessagesOfCarrierType(int32_t carrierType, const TWakeClient& wake) {
  try {
    return FinishMessages(
        {"CarrierType = ?", {carrierType}}, MSE_NO_DEVICE_FOR_CARRIER_TYPE,
        [carrierType](const std::string& text) {
          return Poco::format("Scheduler: Message Send Error! No Device For CarrierType: %d; "
                              "Message: \"%s\"",
                              carrierType, text);
        },
        wake);
  } catch (const std::exception& e) {
    LogMessage(Poco::format("TDMData: rejecting the messages of carrier type %d failed: %s",
                            carrierType, ErrorText(e)));
    return -1;
  }
}

int32_t TDMData::FinishMessages(const TMessageSelection& selection, TMessageSendError error,
                                const std::function<std::string(const std::string&)>& logLine,
                                const TWakeClient& wake) {
  Poco::Data::Session& session = ThreadSession();
  const TFinishedMessages finished = RunWriteTransaction(
      session, [&](auto& session) { return FinishMessageRows(session, selection, error); });
  // Logged after the commit, so the log never reports a result that was rolled back.
  for (const std::string& text : finished.MessageTexts) LogMessage(logLine(text));
  finished.WakeClients(wake);
  return finished.Count();
}

bool TDMData::FinishMessage(int32_t messageID, TMessageSendError error) {
  try {
    Poco::Data::Session& session = ThreadSession();
    return RunWriteTransaction(session, [&](auto& session) {
      return FinishMessageRow(session, messageID, error, DbNow());
    });
  } catch (const std::exception& e) {
    LogMessage(Poco::format("TDMData: finishing message %d failed: %s", messageID,
                            ErrorText(e)));
    return false;
  }
}

void TDMData::CompactDatabase() {
  OperatorUi().SetBusyCursor(true);
  sessions_.CloseAll();
  try {
    CompactFile(File());
  } catch (...) {
    // Compaction is an optimisation: whatever failed, the database file is still in place.
  }
  NoteFileIdentity();  // the compacted copy took the file's place
  OperatorUi().SetBusyCursor(false);
}

void TDMData::Reopen() {
  sessions_.CloseAll();
  NoteFileIdentity();
}

void TDMData::NoteFileIdentity() {
  struct stat st {};
  const bool known = ::stat(File().c_str(), &st) == 0;
  fileDevice_ = known ? static_cast<uint64_t>(st.st_dev) : 0;
  fileInode_ = known ? static_cast<uint64_t>(st.st_ino) : 0;
}

bool TDMData::FileIsStillAtPath() const {
  struct stat st {};
  if (::stat(File().c_str(), &st) != 0) return false;
  return static_cast<uint64_t>(st.st_dev) == fileDevice_ &&
         static_cast<uint64_t>(st.st_ino) == fileInode_;
}

TMessageFinisher::TMessageFinisher(Poco::Data::Session& session, std::string timeSent)
    : timeSent_(std::move(timeSent)),
      select_(session, "SELECT ClientGUID FROM Messages WHERE ID = ?"),
      insert_(session,
              "INSERT INTO SentMessages (ClientGUID, ClientRecordID, ServerRecordID, CarrierType, "
              "CarrierID, TimeReceived, ReceiveConfirmed, TimeSent, SendConfirmed, ErrorCode, "
              "PagerID, MessageText) "
              "SELECT ClientGUID, ClientRecordID, ID, CarrierType, CarrierID, TimeReceived, "
              "ReceiveConfirmed, ?, 0, ?, PagerID, MessageText FROM Messages WHERE ID = ?"),
      remove_(session, "DELETE FROM Messages WHERE ID = ?") {}

std::optional<std::string> TMessageFinisher::Finish(int32_t messageID, TMessageSendError error) {
  std::optional<std::string> clientGUID = select_.Bind(1, messageID).QueryText();
  if (!clientGUID) return std::nullopt;
  if (insert_.Bind(1, timeSent_).Bind(2, static_cast<int32_t>(error)).Bind(3, messageID)
          .Execute() == 0)
    return std::nullopt;
  remove_.Bind(1, messageID).Execute();
  TMessageCounters::Instance().CountFinished(error);
  return clientGUID;
}

bool FinishMessageRow(Poco::Data::Session& session, int32_t messageID, TMessageSendError error,
                      const std::string& timeSent) {
  return TMessageFinisher(session, timeSent).Finish(messageID, error).has_value();
}

TFinishedMessages FinishMessageRows(Poco::Data::Session& session,
                                    const TMessageSelection& selection, TMessageSendError error) {
  TFinishedMessages selected;
  Poco::Data::Statement select(session);
  select << "SELECT ID, COALESCE(MessageText, ''), COALESCE(ClientGUID, '') FROM Messages "
            "WHERE " + selection.Condition + " ORDER BY ID",
      into(selected.IDs), into(selected.MessageTexts), into(selected.ClientGUIDs);
  for (const auto& value : selection.Values)
    std::visit([&](const auto& v) { select.addBind(Poco::Data::Keywords::bind(v)); }, value);
  select.execute();
  TMessageFinisher finisher(session, DbNow());
  TFinishedMessages finished;
  for (size_t i = 0; i < selected.IDs.size(); ++i) {
    if (!finisher.Finish(selected.IDs[i], error)) continue;
    finished.IDs.push_back(selected.IDs[i]);
    finished.MessageTexts.push_back(selected.MessageTexts[i]);
    finished.ClientGUIDs.push_back(selected.ClientGUIDs[i]);
  }
  return finished;
}

void TFinishedMessages::WakeClients(const TWakeClient& wake) const {
  if (!wake) return;
  for (const std::string& guid : std::set<std::string>(ClientGUIDs.begin(), ClientGUIDs.end()))
    if (!guid.empty()) wake(guid);
}

} // namespace voxmit
