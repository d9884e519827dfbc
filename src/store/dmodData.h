#pragma once
// TDMData: the server's database module. Owns the connections of the server threads to
// ServerData.db and every operation that writes messages and carriers, and the compaction of
// the file.
//
// Threads: each calling thread works on its own connection (TDbSessions), opened on first use
// and closed when the thread ends, so the operations below may run on several threads at once.
// Every write is one job of the write gate (RunWriteTransaction), committed, maybe with the
// jobs of other threads, before the operation returns; no statement stays open after an
// operation returns. CompactDatabase and LoadCarriers run on the UI thread while no server
// thread uses the database (server stopped or starting).
//
// Ownership: one per process, created at process start and passed by reference to whatever
// uses the database (there is no global way to reach it).
//
// Errors: the constructor and LoadCarriers throw (the process or the start cannot go on);
// the operations used by server threads log a failure and report it in their result, never
// throw, so no server thread ends because of one message.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <Poco/Data/Session.h>

#include "common/BaseContainers.h"
#include "common/ServerTypes.h"
#include "store/Carrier.h"
#include "store/DbSessions.h"
#include "store/SqlStatement.h"

namespace voxmit {

// Called with the GUID of a client that has a new result to hear about, once per client. The
// store knows nothing of clients: whoever finishes messages is handed this by its creator.
using TWakeClient = std::function<void(const std::string& clientGUID)>;

// Which Messages rows to finish: an SQL condition on Messages whose ? placeholders are bound,
// in order, to Values.
struct TMessageSelection {
  std::string Condition;  // "CarrierID = ?"
  std::vector<std::variant<int32_t, std::string>> Values;
};

// One accepted message as PostNewMessages stores it.
struct TNewMessageRow {
  std::string ClientGUID;
  int32_t ClientRecordID = 0;
  int32_t CarrierType = 0;
  int32_t CarrierID = 0;
  std::string PagerID;
  std::string MessageText;
};

// The messages one FinishMessageRows call finished, for what follows the commit: a log line
// per message, a wake-up per client.
struct TFinishedMessages {
  std::vector<int32_t> IDs;                // in ID order
  std::vector<std::string> MessageTexts;   // same order; a NULL text reads as ""
  std::vector<std::string> ClientGUIDs;    // same order; a NULL GUID reads as ""

  int32_t Count() const { return static_cast<int32_t>(IDs.size()); }
  // Calls wake once for each distinct client GUID among them; nothing when wake is empty.
  void WakeClients(const TWakeClient& wake) const;
};

class TDMData {
public:
  // Opens the database; throws EDatabaseNotFound when the file is missing (it is never
  // created here) and EStoreError when it is no database or lacks a table or column.
  explicit TDMData(std::filesystem::path file = DefaultDatabaseFile());
  ~TDMData();
  TDMData(const TDMData&) = delete;
  TDMData& operator=(const TDMData&) = delete;

  // ServerData.db in the home folder.
  static std::filesystem::path DefaultDatabaseFile();
  const std::filesystem::path& File() const { return sessions_.File(); }

  // The calling thread's connection, for the other units' queries (iterators, confirmations,
  // scheduler). Throws EStoreError when it cannot be opened. A thread may release it early.
  Poco::Data::Session& ThreadSession() { return sessions_.ForThisThread(); }
  void ReleaseThreadSession() { sessions_.ReleaseThisThread(); }
  // Connections open now, over all threads.
  size_t OpenConnections() const { return sessions_.OpenCount(); }

  // Replaces the list's contents with the Carriers rows (IsNew false) and resets the list's
  // events, under its write lock (taken here; the rows are read before it). Throws on failure.
  void LoadCarriers(TCarriersList& list);

  // Appends the carrier's row and clears IsNew. On failure logs, leaves IsNew set (the next
  // wake of the new-carrier thread tries again) and returns false.
  bool StoreCarrier(TCarrier& carrier);

  // Stores an accepted message (TimeReceived now, ReceiveConfirmed Yes, RetryTimes 0, Sending
  // No) in one transaction and returns its ID, read after the commit. On failure logs and
  // returns nothing: the message must not be acknowledged.
  std::optional<int32_t> InsertNewMessage(const std::string& clientGUID, int32_t clientRecordID,
                                          int32_t carrierType, int32_t carrierID,
                                          const std::string& pagerID,
                                          const std::string& messageText);

  // Told how a posted batch ended: the IDs in order once it has committed, or nothing when it
  // failed (logged; nothing of it is stored).
  using TStoredMessages = std::function<void(std::optional<std::vector<int32_t>> ids)>;
  // Stores the rows in one transaction, as InsertNewMessage stores each, without waiting for
  // it: the batch waits for its group at the write gate (TWriteGate::Post) while the caller
  // gathers the next. stored runs once, after the commit or the failure, maybe on another
  // thread, maybe before this returns; it must be quick and must not write to the database.
  // On failure nothing is stored, and the caller stores the messages one by one, so that one
  // bad message does not cost the others their acknowledgement.
  void PostNewMessages(std::vector<TNewMessageRow> rows, TStoredMessages stored);

  // A reply of kind messageKind (TReplyMessageKind) for row recordID was not
  // delivered: MESSAGE_ACCEPTED (3) and MESSAGE_ACCEPT_ERROR (4) clear Messages.ReceiveConfirmed,
  // MESSAGE_SENT (5) and MESSAGE_SEND_ERROR (6) clear SentMessages.SendConfirmed. Other kinds
  // and unknown rows change nothing. False only when the database failed (logged).
  bool MarkReplyUndelivered(int32_t messageKind, int32_t recordID);

  // Finishes every message of the carrier type with MSE_NO_DEVICE_FOR_CARRIER_TYPE, in one
  // transaction, logs one line per message and wakes their clients. Returns how many; -1 when
  // it failed (logged, nothing changed).
  int32_t RejectMessagesOfCarrierType(int32_t carrierType, const TWakeClient& wake = {});

  // Finishes every message that selection picks with error, in one transaction
  // (FinishMessageRows); after the commit logs logLine(message text) for each and wakes their
  // clients. Returns how many. Throws when the database failed: nothing changed then.
  int32_t FinishMessages(const TMessageSelection& selection, TMessageSendError error,
                         const std::function<std::string(const std::string& text)>& logLine,
                         const TWakeClient& wake);

  // Finishes one message as a result: its SentMessages row (TimeSent now, SendConfirmed No,
  // the error code) and the removal of its Messages row, in one transaction. False when the
  // row does not exist or the database failed (logged).
  bool FinishMessage(int32_t messageID, TMessageSendError error);

  // Rewrites the file compactly: VACUUM INTO "Temp" + file name (a stale copy is removed
  // first), then the copy replaces the file. Every thread's connection is closed first and
  // reopened at its next use. Errors are swallowed: the file stays as it was. Refuses (does
  // nothing) while another connection, for example in another process, still has the file open.
  void CompactDatabase();

  // Closes every thread's connection (they reopen at their next use) and notes which file is
  // at the path now. Called at each start, when no server thread uses the database, so that
  // a file replaced while the server was stopped is the one used from then on.
  void Reopen();
  // True while the file at the path is still the one the connections were opened on. A
  // database deleted or replaced while the server runs leaves the connections writing to a
  // file that is gone: nothing written then may be acknowledged. Any thread.
  bool FileIsStillAtPath() const;

private:
  void NoteFileIdentity();

  void CheckSchema(Poco::Data::Session& session) const;

  TDbSessions sessions_;
  // Device and inode of the file the connections use (0, 0: unknown, after a failed stat).
  std::atomic<uint64_t> fileDevice_{0};
  std::atomic<uint64_t> fileInode_{0};
};

// Finishes Messages rows as results, inside a write transaction on one connection: for each,
// the SentMessages row (columns copied, ServerRecordID = its ID, TimeSent = timeSent,
// SendConfirmed No, ErrorCode = error) and the removal of the Messages row. Its statements are
// prepared once, so a batch of results costs no parsing per row. Lives no longer than the
// job that made it; one thread.
class TMessageFinisher {
public:
  TMessageFinisher(Poco::Data::Session& session, std::string timeSent);
  TMessageFinisher(const TMessageFinisher&) = delete;
  TMessageFinisher& operator=(const TMessageFinisher&) = delete;

  // Finishes row messageID with error; the row's ClientGUID ("" when NULL), or nothing when
  // there is no such row (finished already, or deleted).
  std::optional<std::string> Finish(int32_t messageID, TMessageSendError error);

private:
  std::string timeSent_;
  TSqlStatement select_;
  TSqlStatement insert_;
  TSqlStatement remove_;
};

// Inside a write transaction on session: finishes Messages row messageID (TMessageFinisher).
// False when there is no such row.
bool FinishMessageRow(Poco::Data::Session& session, int32_t messageID, TMessageSendError error,
                      const std::string& timeSent);

// Inside a write transaction on session: finishes every Messages row that selection picks with
// error, in ID order, with one TimeSent for all (FinishMessageRow). The one routine by which
// the scheduler, the store and maintenance give messages up; the caller logs and wakes the
// clients once its transaction has committed.
TFinishedMessages FinishMessageRows(Poco::Data::Session& session,
                                    const TMessageSelection& selection, TMessageSendError error);

} // namespace voxmit
