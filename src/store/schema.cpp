#include "store/schema.h"

#include <system_error>

#include <Poco/Data/Session.h>

#include "store/DbSession.h"

using namespace Poco::Data::Keywords;

namespace voxmit {

namespace {

constexpr const char* kAutoNumber = "INTEGER PRIMARY KEY AUTOINCREMENT";
constexpr const char* kLong = "INTEGER";
constexpr const char* kYesNo = "INTEGER";
constexpr const char* kDateTime = "TEXT";
constexpr const char* kMemo = "TEXT";

std::vector<TColumnDef> ResultColumns() {
  return {{"ID", kAutoNumber},          {"ClientGUID", "VARCHAR(38)"},
          {"ClientRecordID", kLong},    {"ServerRecordID", kLong},
          {"CarrierType", kLong},       {"CarrierID", kLong},
          {"TimeReceived", kDateTime},  {"ReceiveConfirmed", kYesNo},
          {"TimeSent", kDateTime},      {"SendConfirmed", kYesNo},
          {"ErrorCode", kLong},         {"PagerID", "VARCHAR(50)"},
          {"MessageText", kMemo}};
}

std::vector<TTableDef> MakeTables() {
  return {
      {"Messages",
       {{"ID", kAutoNumber},
        {"ClientGUID", "VARCHAR(38)"},
        {"ClientRecordID", kLong},
        {"CarrierType", kLong},
        {"CarrierID", kLong},
        {"TimeReceived", kDateTime},
        {"ReceiveConfirmed", kYesNo},
        {"PagerID", "VARCHAR(50)"},
        {"RetryTimes", kLong},
        {"MessageText", kMemo},
        {"Sending", "INTEGER NOT NULL DEFAULT 0"}}},
      {"SentMessages", ResultColumns()},
      {"ArchivedMessages", ResultColumns()},
      // CarrierID is given by the server, not numbered by the database.
      {"Carriers",
       {{"CarrierID", "INTEGER NOT NULL PRIMARY KEY"},
        {"CarrierType", kLong},
        {"CarrierData", kMemo},
        {"IntroducedByGUID", "VARCHAR(38)"},
        {"IntroducedTime", kDateTime}}},
      {"Devices",
       {{"ID", kAutoNumber}, {"TypeNo", kLong}, {"SettingsData", kMemo}, {"Name", "VARCHAR(50)"}}},
      {"DeviceTypes", {{"ID", kAutoNumber}, {"TypeNo", "INTEGER UNIQUE"}, {"Name", "VARCHAR(50)"}}},
  };
}

// Indexes for the date filters of maintenance, the iterators' per-carrier query and the
// confirmation query. They change no column order.
const char* const kIndexes[] = {
    "CREATE INDEX MessagesByCarrier ON Messages (CarrierID, Sending, TimeReceived)",
    "CREATE INDEX MessagesByTime ON Messages (TimeReceived)",
    "CREATE INDEX MessagesByType ON Messages (CarrierType)",
    "CREATE INDEX SentByClient ON SentMessages (ClientGUID, SendConfirmed, TimeSent)",
    "CREATE INDEX SentByTime ON SentMessages (TimeSent)",
    "CREATE INDEX SentByCarrier ON SentMessages (CarrierID)",
    "CREATE INDEX ArchivedByTime ON ArchivedMessages (TimeReceived)",
    "CREATE INDEX ArchivedByCarrier ON ArchivedMessages (CarrierID)",
};

std::string CreateTableSql(const TTableDef& table) {
  std::string sql = "CREATE TABLE " + table.Name + " (";
  for (size_t i = 0; i < table.Columns.size(); ++i) {
    if (i) sql += ", ";
    sql += table.Columns[i].Name + " " + table.Columns[i].Type;
  }
  return sql + ")";
}

void CreateContent(Poco::Data::Session& session) {
  for (const TTableDef& table : DatabaseTables()) session << CreateTableSql(table), now;
  for (const char* index : kIndexes) session << index, now;
  for (const TDeviceTypeRow& row : DeviceTypeRows())
    session << "INSERT INTO DeviceTypes (TypeNo, Name) VALUES (?, ?)", bind(row.TypeNo),
        bind(row.Name), now;
}

} // namespace

const std::vector<TTableDef>& DatabaseTables() {
  static const std::vector<TTableDef> tables = MakeTables();
  return tables;
}

const TTableDef& TableDef(const std::string& name) {
  for (const TTableDef& table : DatabaseTables())
    if (table.Name == name) return table;
  throw std::invalid_argument("unknown table " + name);
}

std::string ColumnList(const std::string& table, size_t first) {
  const TTableDef& def = TableDef(table);
  std::string list;
  for (size_t i = first; i < def.Columns.size(); ++i) {
    if (!list.empty()) list += ", ";
    list += def.Columns[i].Name;
  }
  return list;
}

const std::vector<TDeviceTypeRow>& DeviceTypeRows() {
  static const std::vector<TDeviceTypeRow> rows = {
      {1, "Modem"}, {2, "Direct serial line"}, {3, "GSM modem"}, {4, "IP network"}};
  return rows;
}

void CreateDatabase(const std::filesystem::path& file) {
  std::error_code ec;
  if (std::filesystem::exists(file, ec) || ec)
    throw EStoreError("Error: \"" + file.string() +
                      "\" already exists. An existing database is never overwritten.");
  const std::filesystem::path folder = std::filesystem::absolute(file).parent_path();
  if (!std::filesystem::is_directory(folder, ec))
    throw EStoreError("Error: the folder \"" + folder.string() + "\" does not exist.");
  try {
    Poco::Data::Session session = OpenOrCreateDbFile(file);
    ConfigureDbSession(session);
    RunWriteTransaction(session, [&](auto& session) { CreateContent(session); });
  } catch (const Poco::Exception& e) {
    for (const char* suffix : {"", "-wal", "-shm"})
      std::filesystem::remove(file.string() + suffix, ec);
    throw EStoreError("Error: the database \"" + file.string() +
                      "\" could not be created: " + e.displayText());
  }
}

} // namespace voxmit
