#include "clients/ClientConfirmations.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>

#include <Poco/Data/Session.h>
#include <Poco/Data/Statement.h>

#include "clients/BaseClient.h"
#include "clients/ResultClaims.h"
#include "clients/TcpMessages.h"
#include "host/LogFile.h"
#include "host/ServerSettings.h"
#include "store/DbSession.h"
#include "store/dmodData.h"

using namespace Poco::Data::Keywords;

namespace voxmit {

namespace {

// Oldest TimeSent first; rows with the same time in the order they were written. The page
// after a row starts past that row's (TimeSent, ID), so a page never repeats one.
const char* const kFirstPageSql =
    "SELECT ID, ClientRecordID, ServerRecordID, ErrorCode, IFNULL(TimeSent, '') "
    "FROM SentMessages WHERE ClientGUID = ? AND SendConfirmed = 0 "
    "ORDER BY IFNULL(TimeSent, ''), ID LIMIT ?";
const char* const kNextPageSql =
    "SELECT ID, ClientRecordID, ServerRecordID, ErrorCode, IFNULL(TimeSent, '') "
    "FROM SentMessages WHERE ClientGUID = ? AND SendConfirmed = 0 "
    "AND (IFNULL(TimeSent, ''), ID) > (?, ?) "
    "ORDER BY IFNULL(TimeSent, ''), ID LIMIT ?";

} // namespace

TNClientConfirmationsThread::TNClientConfirmationsThread(TBaseClient& client,
                                                         std::string clientGUID, TDMData* data)
    : client_(client), clientGUID_(std::move(clientGUID)), data_(data) {}

void TNClientConfirmationsThread::Resume() {
  if (!thread_.Started()) thread_.Start([this] { Execute(); });
}

void TNClientConfirmationsThread::Execute() {
  TDMData* data = data_;
  if (!data) return;
  while (!Terminated()) {
    requeryEvent_.Reset();
    if (!Pass(*data)) break;
    if (!WaitForNextPass()) break;
  }
  data->ReleaseThreadSession();
}

bool TNClientConfirmationsThread::Pass(TDMData& data) {
  std::vector<TRow> rows;
  TRow last;
  bool first = true;
  foundRows_ = false;
  do {
    if (!ReadPage(data, first ? nullptr : &last, rows)) return !Terminated();
    if (!rows.empty()) foundRows_ = true;
    for (size_t next = 0; next < rows.size();) {
      const int32_t room = WaitForRoom();
      if (room == 0) return false;
      const size_t count = std::min(rows.size() - next, static_cast<size_t>(room));
      const std::vector<bool> claimed = Claim(data, &rows[next], count);
      for (size_t i = 0; i < count; ++i)
        if (claimed[i]) Report(rows[next + i]);
      next += count;
    }
    if (!rows.empty()) last = rows.back();
    first = false;
  } while (rows.size() == static_cast<size_t>(kPageSize));
  return !Terminated();
}

bool TNClientConfirmationsThread::ReadPage(TDMData& data, const TRow* after,
                                           std::vector<TRow>& rows) {
  rows.clear();
  std::vector<int32_t> ids, clientIDs, serverIDs, codes;
  std::vector<std::string> times;
  try {
    Poco::Data::Session& session = data.ThreadSession();
    // The statement is done (and closed) before this returns: nothing stays open across the
    // waits that follow.
    if (after)
      session << kNextPageSql, bind(clientGUID_), bind(after->TimeSent), bind(after->ID),
          bind(kPageSize), into(ids), into(clientIDs), into(serverIDs), into(codes),
          into(times), now;
    else
      session << kFirstPageSql, bind(clientGUID_), bind(kPageSize), into(ids), into(clientIDs),
          into(serverIDs), into(codes), into(times), now;
  } catch (const std::exception& e) {
    LogMessage("TNClientConfirmationsThread, query failed: " + ErrorText(e));
    return false;
  }
  for (size_t i = 0; i < ids.size(); ++i)
    rows.push_back({ids[i], clientIDs[i], serverIDs[i], codes[i], times[i]});
  return true;
}

int32_t TNClientConfirmationsThread::WaitForRoom() {
  const TReplyMessageList& replies = *client_.ReplyList();
  const std::array<const TNEvent*, 2> events{&thread_.StopEvent(), replies.Event(stLowMark)};
  for (;;) {
    const int32_t which = WaitForAny(events, settings::ThreadWaitLoopTimeout);
    if (which == 0) return 0;
    if (which == 1) break;
  }
  TReplyMessageList& list = *client_.ReplyList();
  TNReadLock lock(list.Lock());
  return std::max(list.LowMark() + 1 - list.Count(), 1);
}

std::vector<bool> TNClientConfirmationsThread::Claim(TDMData& data, const TRow* rows,
                                                     size_t count) {
  std::vector<int32_t> ids;
  ids.reserve(count);
  for (size_t i = 0; i < count; ++i) ids.push_back(rows[i].ID);
  return TResultClaims::Claim(data, ids);
}

void TNClientConfirmationsThread::Report(const TRow& row) {
  if (row.ErrorCode == MSE_OK) {
    client_.AppendReply(MakeMessageSentReply(row.ClientRecordID, row.ServerRecordID, row.ID));
    client_.DoMessageSendSuccess(row.ClientRecordID);
  } else {
    const auto error = static_cast<TMessageSendError>(row.ErrorCode);
    client_.AppendReply(MakeMessageSendErrorReply(row.ClientRecordID, error, row.ID));
    client_.DoMessageSendError(row.ClientRecordID, error);
  }
}

bool TNClientConfirmationsThread::WaitForNextPass() {
  using TClock = std::chrono::steady_clock;
  const auto noted = TClock::now();
  // After a pass that found results, the next waits a moment even when woken: results that
  // come one by one are then claimed a few at a time, not each in its own transaction (every
  // write of the process takes its turn, and a busy client's wakes would crowd out intake).
  if (foundRows_ && thread_.StopEvent().Wait(kPassGapMs) == wrSignaled) return false;
  const std::array<const TNEvent*, 2> events{&thread_.StopEvent(), &requeryEvent_};
  for (;;) {
    if (Terminated()) return false;
    int32_t period = settings::SentConfirmationsRequeryPeriod;
    // A pass that found nothing waits for its wake event at least one slice: a period of 0 or
    // less would otherwise requery without pause.
    if (!foundRows_) period = std::max(period, settings::ThreadWaitLoopTimeout.load());
    if (period < 0) return true;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - noted).count();
    if (elapsed > period) return true;
    // Never sleep past the period, so a short period is honoured whatever the wait slice.
    const int64_t remaining = period - elapsed + 1;
    const int32_t slice = static_cast<int32_t>(
        std::min<int64_t>(remaining, settings::ThreadWaitLoopTimeout.load()));
    const int32_t which = WaitForAny(events, slice);
    if (which == 0) return false;
    if (which == 1) return true;
  }
}

} // namespace voxmit
