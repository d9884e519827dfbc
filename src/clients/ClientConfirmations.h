#pragma once
// The confirmation thread of one logged-on session: finds the send results recorded for the
// session's client GUID that the client has not been told of (SentMessages rows with
// SendConfirmed No, oldest TimeSent first), queues MESSAGE_SENT or MESSAGE_SEND_ERROR for each
// at the tail of the session's reply list and marks the row reported.
//
// Back-pressure: replies are added only while the reply list holds at most its low mark (10)
// entries, and no more than take it to 11, so a client that does not read never makes the
// server hold more than 11 of its results in memory; the rest wait in the database.
//
// Store: the thread reads the rows in pages on its own connection (TDMData::ThreadSession) and
// closes each statement before it waits. The rows that fit in the reply list are claimed
// (SendConfirmed set, only where still No) before their replies are queued, in one
// transaction with the claims of the other sessions that claim at the same moment
// (TResultClaims), so a result is never queued twice, even by two sessions of one GUID overlapping for a moment,
// and a failed write to the database queues nothing. A
// failed query is logged and tried again at the next pass: the session keeps getting its
// results.
//
// Threads: constructed, resumed, terminated and waited for by the session's own thread (logon,
// Logoff). Requery is safe from any thread. The thread touches the session only through its
// reply list, which outlives it, and the session's send-result hooks. Without a database
// module (a unit test's session) the thread ends at once.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/TNEvent.h"
#include "platform/TNThread.h"

namespace voxmit {

class TBaseClient;
class TDMData;

class TNClientConfirmationsThread {
public:
  // Rows per page of the confirmation query.
  static constexpr int32_t kPageSize = 500;
  // Least time between a pass that found results and the next, in ms.
  static constexpr int32_t kPassGapMs = 50;

  TNClientConfirmationsThread(TBaseClient& client, std::string clientGUID, TDMData* data);
  TNClientConfirmationsThread(const TNClientConfirmationsThread&) = delete;
  TNClientConfirmationsThread& operator=(const TNClientConfirmationsThread&) = delete;

  void Resume();
  void Terminate() { thread_.Terminate(); }
  void WaitFor() { thread_.WaitFor(); }
  // Sets RequeryEvent: the next pass starts at once.
  void Requery() { requeryEvent_.Set(); }

private:
  struct TRow {
    int32_t ID = 0;
    int32_t ClientRecordID = 0;
    int32_t ServerRecordID = 0;
    int32_t ErrorCode = 0;
    std::string TimeSent;
  };

  void Execute();
  // One pass over the unreported rows; false when the thread was terminated meanwhile.
  bool Pass(TDMData& data);
  bool ReadPage(TDMData& data, const TRow* after, std::vector<TRow>& rows);
  // Waits until the reply list is at or below its low mark; how many replies it may take
  // then (at least 1), 0 when terminated.
  int32_t WaitForRoom();
  // Claims rows (TResultClaims); whether each was claimed (all false when it failed).
  std::vector<bool> Claim(TDMData& data, const TRow* rows, size_t count);
  void Report(const TRow& row);
  // Waits out the requery period (or a wake); false when terminated.
  bool WaitForNextPass();
  bool Terminated() const { return thread_.StopRequested(); }

  TBaseClient& client_;
  const std::string clientGUID_;
  TDMData* const data_;
  TNEvent requeryEvent_;
  bool foundRows_ = false;  // the last pass found results (the thread only)
  TNThread thread_;  // last: the thread ends before the members it uses go
};

} // namespace voxmit
