#pragma once
// The writes to the device tables (`Devices`, `DeviceTypes`) that the device editors and the
// device commands share, and the two uniqueness questions of the device-kind editor.
//
// Threads: any, on a connection the calling thread owns. None opens a transaction: a caller
// that must check and write as one step runs them inside its own write transaction. Each
// throws Poco::Data::DataException when the database fails.

#include <cstddef>
#include <cstdint>
#include <string>

#include <Poco/Data/Session.h>

namespace voxmit {

// Adds a device and returns its new ID.
int32_t InsertDevice(Poco::Data::Session& db, int32_t typeNo, const std::string& settingsData,
                     const std::string& name);
void UpdateDevice(Poco::Data::Session& db, int32_t id, int32_t typeNo,
                  const std::string& settingsData, const std::string& name);
// Returns how many rows went (0: there was no such device).
size_t DeleteDevice(Poco::Data::Session& db, int32_t id);

void InsertDeviceKind(Poco::Data::Session& db, int32_t typeNo, const std::string& name);
// Letter case ignored, as the editors always compared kind names. The name is bound as a
// parameter, so any text (quotes included) is just a name.
bool DeviceKindNameExists(Poco::Data::Session& db, const std::string& name);
bool DeviceKindNumberExists(Poco::Data::Session& db, int32_t typeNo);

} // namespace voxmit
