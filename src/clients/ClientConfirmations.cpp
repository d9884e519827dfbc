#include "clients/ClientConfirmations.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>

#include <Poco/Data/Session.h>
#include <Poco/Data/Statement.h>

#include "clients/BaseClient.h"
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
    for (const TRow& row : rows) {
      if (!WaitForRoom()) return false;
      if (Claim(data, row.ID)) Report(row);
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

bool TNClientConfirmationsThread::WaitForRoom() {
  const TReplyMessageList& replies = *client_.ReplyList();
  const std::array<const TNEvent*, 2> events{&thread_.StopEvent(), replies.Event(stLowMark)};
  for (;;) {
    const int32_t which = WaitForAny(events, settings::ThreadWaitLoopTimeout);
    if (which == 0) return false;
    if (which == 1) return true;
  }
}

bool TNClientConfirmationsThread::Claim(TDMData& data, int32_t rowID) {
  try {
    Poco::Data::Session& session = data.ThreadSession();
    return RunWriteTransaction(session, [&] {
      Poco::Data::Statement update(session);
      update << "UPDATE SentMessages SET SendConfirmed = 1 WHERE ID = ? AND SendConfirmed = 0",
          bind(rowID);
      return update.execute() == 1;
    });
  } catch (const std::exception& e) {
    LogMessage("TNClientConfirmationsThread, marking result " + std::to_string(rowID) +
               " confirmed failed: " + ErrorText(e));
    return false;
  }
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
