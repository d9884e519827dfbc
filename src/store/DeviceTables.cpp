#include "store/DeviceTables.h"

#include <vector>

#include <Poco/Data/Statement.h>

namespace voxmit {

using Poco::Data::Keywords::bind;
using Poco::Data::Keywords::into;
using Poco::Data::Keywords::now;

int32_t InsertDevice(Poco::Data::Session& db, int32_t typeNo, const std::string& settingsData,
                     const std::string& name) {
  db << "INSERT INTO Devices (TypeNo, SettingsData, Name) VALUES (?, ?, ?)", bind(typeNo),
      bind(settingsData), bind(name), now;
  // The connection belongs to the calling thread, so its last insert is the one above.
  int32_t id = 0;
  db << "SELECT last_insert_rowid()", into(id), now;
  return id;
}

void UpdateDevice(Poco::Data::Session& db, int32_t id, int32_t typeNo,
                  const std::string& settingsData, const std::string& name) {
  db << "UPDATE Devices SET TypeNo = ?, SettingsData = ?, Name = ? WHERE ID = ?", bind(typeNo),
      bind(settingsData), bind(name), bind(id), now;
}

size_t DeleteDevice(Poco::Data::Session& db, int32_t id) {
  Poco::Data::Statement remove(db);
  remove << "DELETE FROM Devices WHERE ID = ?", bind(id);
  return remove.execute();
}

void InsertDeviceKind(Poco::Data::Session& db, int32_t typeNo, const std::string& name) {
  db << "INSERT INTO DeviceTypes (TypeNo, Name) VALUES (?, ?)", bind(typeNo), bind(name), now;
}

bool DeviceKindNameExists(Poco::Data::Session& db, const std::string& name) {
  std::vector<int32_t> ids;
  db << "SELECT ID FROM DeviceTypes WHERE Name = ? COLLATE NOCASE", bind(name), into(ids), now;
  return !ids.empty();
}

bool DeviceKindNumberExists(Poco::Data::Session& db, int32_t typeNo) {
  std::vector<int32_t> ids;
  db << "SELECT ID FROM DeviceTypes WHERE TypeNo = ?", bind(typeNo), into(ids), now;
  return !ids.empty();
}

} // namespace voxmit
