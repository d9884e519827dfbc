#pragma once
// A fresh database in a temporary home, a separate connection to arrange and inspect rows
// directly (old timestamps included), and a capture of the log lines.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <Poco/Data/Session.h>

#include "host/LogFile.h"
#include "host/WindowMessages.h"
#include "platform/TNMainLoop.h"
#include "store/DbSession.h"
#include "store/DbTime.h"
#include "store/schema.h"
#include "support/TempHome.h"

namespace voxmit::test {

using namespace Poco::Data::Keywords;

// Lines logged while it exists. Lines travel through the UI thread's queue, so Lines() drains
// it on the calling thread.
class LogCapture {
public:
  LogCapture() {
    TNMainLoop::Instance().Drain([](const TNPostedMessage&) {});
    SetLogWindowSink([this](const std::string& line) { lines_.push_back(line); });
  }
  ~LogCapture() { SetLogWindowSink({}); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<std::string>& Lines() {
    TNMainLoop::Instance().Drain([](const TNPostedMessage& m) {
      if (m.Code == WM_LOG_LINE) HandleLogLine(m.Text);
    });
    return lines_;
  }

private:
  std::vector<std::string> lines_;
};

struct TMessageRow {
  std::string ClientGUID = "{00000000-0000-0000-0000-000000000001}";
  int ClientRecordID = 7;
  int CarrierType = 1;
  int CarrierID = 1;
  std::string TimeReceived = DbNow();
  int ReceiveConfirmed = 1;
  std::string PagerID = "555-0100";
  int RetryTimes = 0;
  std::string MessageText = "hello";
  int Sending = 0;
};

struct TResultRow {
  std::string ClientGUID = "{00000000-0000-0000-0000-000000000001}";
  int ClientRecordID = 7;
  int ServerRecordID = 100;
  int CarrierType = 1;
  int CarrierID = 1;
  std::string TimeReceived = DbNow();
  int ReceiveConfirmed = 1;
  std::string TimeSent = DbNow();
  int SendConfirmed = 0;
  int ErrorCode = 0;
  std::string PagerID = "555-0100";
  std::string MessageText = "hello";
};

class StoreTest : public ::testing::Test {
protected:
  StoreTest() : dbFile_(home_.File(kDatabaseFileName)) {
    CreateDatabase(dbFile_);
    raw_.emplace(OpenDbSession(dbFile_));
  }

  Poco::Data::Session& Raw() { return *raw_; }
  const std::filesystem::path& DbFile() const { return dbFile_; }
  TempHome& Home() { return home_; }

  int Count(const std::string& table, const std::string& where = "1") {
    int n = 0;
    Raw() << "SELECT count(*) FROM " + table + " WHERE " + where, into(n), now;
    return n;
  }

  int AddMessage(const TMessageRow& r) {
    Raw() << "INSERT INTO Messages (ClientGUID, ClientRecordID, CarrierType, CarrierID, "
             "TimeReceived, ReceiveConfirmed, PagerID, RetryTimes, MessageText, Sending) "
             "VALUES (?,?,?,?,?,?,?,?,?,?)",
        bind(r.ClientGUID), bind(r.ClientRecordID), bind(r.CarrierType), bind(r.CarrierID),
        bind(r.TimeReceived), bind(r.ReceiveConfirmed), bind(r.PagerID), bind(r.RetryTimes),
        bind(r.MessageText), bind(r.Sending), now;
    return LastId();
  }

  int AddResult(const std::string& table, const TResultRow& r) {
    Raw() << "INSERT INTO " + table +
                 " (ClientGUID, ClientRecordID, ServerRecordID, CarrierType, CarrierID, "
                 "TimeReceived, ReceiveConfirmed, TimeSent, SendConfirmed, ErrorCode, PagerID, "
                 "MessageText) VALUES (?,?,?,?,?,?,?,?,?,?,?,?)",
        bind(r.ClientGUID), bind(r.ClientRecordID), bind(r.ServerRecordID), bind(r.CarrierType),
        bind(r.CarrierID), bind(r.TimeReceived), bind(r.ReceiveConfirmed), bind(r.TimeSent),
        bind(r.SendConfirmed), bind(r.ErrorCode), bind(r.PagerID), bind(r.MessageText), now;
    return LastId();
  }

  void AddCarrier(int id, int type = 1, const std::string& data = "x") {
    Raw() << "INSERT INTO Carriers (CarrierID, CarrierType, CarrierData, IntroducedByGUID, "
             "IntroducedTime) VALUES (?,?,?,'{g}',?)",
        bind(id), bind(type), bind(data), bind(DbNow()), now;
  }

  // A result row as text, column by column in table order; the first column (ID) left out.
  std::vector<std::string> ResultWithoutId(const std::string& table, const std::string& where) {
    std::vector<std::string> values;
    std::string concat;
    for (size_t i = 1; i < TableDef(table).Columns.size(); ++i) {
      if (!concat.empty()) concat += " || '|' || ";
      concat += "quote(" + TableDef(table).Columns[i].Name + ")";
    }
    Raw() << "SELECT " + concat + " FROM " + table + " WHERE " + where, into(values), now;
    return values;
  }

  int LastId() {
    int id = 0;
    Raw() << "SELECT last_insert_rowid()", into(id), now;
    return id;
  }

private:
  TempHome home_;
  std::filesystem::path dbFile_;
  std::optional<Poco::Data::Session> raw_;
};

} // namespace voxmit::test
