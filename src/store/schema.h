#pragma once
// The database schema: six tables with the column names and orders every other unit relies
// on, the four device kinds, and the creation of a new database file.
//
// Types: AutoNumber is INTEGER PRIMARY KEY AUTOINCREMENT (IDs are never reused: clients hold
// them); Yes/No is INTEGER 0/1; Date/Time is TEXT as DbTime.h writes it; Text(n) is
// VARCHAR(n), Memo is TEXT. SentMessages and ArchivedMessages have the same columns in the
// same order: maintenance copies rows between them by position.
// Everything here is constant data or runs on the calling thread only.

#include <filesystem>
#include <string>
#include <vector>

namespace voxmit {

inline constexpr const char* kDatabaseFileName = "ServerData.db";
// The compaction's temporary copy is the database file name with this prefix.
inline constexpr const char* kTempFilePrefix = "Temp";

struct TColumnDef {
  std::string Name;
  std::string Type;  // SQL type and constraints
};

struct TTableDef {
  std::string Name;
  std::vector<TColumnDef> Columns;
};

// The six tables, in creation order.
const std::vector<TTableDef>& DatabaseTables();
const TTableDef& TableDef(const std::string& name);

// The column names of a table joined with ", ", from column `first` on (1 skips the ID).
std::string ColumnList(const std::string& table, size_t first = 0);

struct TDeviceTypeRow {
  int TypeNo;
  std::string Name;
};
// The device kinds every database holds: 1 modem, 2 direct serial line, 3 GSM modem,
// 4 IP network.
const std::vector<TDeviceTypeRow>& DeviceTypeRows();

// Creates a new database file with every table and the device kinds. Refuses (EStoreError)
// when the file exists; a file left half-made by a failure is removed.
void CreateDatabase(const std::filesystem::path& file);

} // namespace voxmit
