#include "store/dmodServerSettings.h"

#include "platform/HomeFolder.h"
#include "store/DbSession.h"
#include "store/DeviceTables.h"
#include "store/schema.h"

using namespace Poco::Data::Keywords;

namespace voxmit {

TDMServerSettings::TDMServerSettings(std::filesystem::path file) : file_(std::move(file)) {}

TDMServerSettings::~TDMServerSettings() = default;

std::filesystem::path TDMServerSettings::DefaultDatabaseFile() {
  return HomeFolder() / kDatabaseFileName;
}

void TDMServerSettings::OpenSettingsConnection() {
  if (!session_) session_.emplace(OpenDbSession(file_));
}

void TDMServerSettings::CloseSettingsConnection() { session_.reset(); }

Poco::Data::Session& TDMServerSettings::Session() {
  OpenSettingsConnection();
  return *session_;
}

void TDMServerSettings::Clear(std::initializer_list<const char*> tables) {
  const bool wasOpen = Connected();
  try {
    Poco::Data::Session& session = Session();
    RunWriteTransaction(session, [&](auto& session) {
      for (const char* table : tables) session << std::string("DELETE FROM ") + table, now;
    });
  } catch (const Poco::Exception& e) {
    if (!wasOpen) CloseSettingsConnection();
    throw EStoreError("Error: the table could not be cleared: " + e.displayText());
  }
  if (!wasOpen) CloseSettingsConnection();
}

void TDMServerSettings::ClearInMessagesTable() { Clear({"Messages"}); }
void TDMServerSettings::ClearSentMessagesTable() { Clear({"SentMessages"}); }
void TDMServerSettings::ClearArchivedMessagesTable() { Clear({"ArchivedMessages"}); }
void TDMServerSettings::ClearCarriersTable() { Clear({"Carriers"}); }
void TDMServerSettings::ClearAllMessageTables() {
  Clear({"Messages", "SentMessages", "ArchivedMessages"});
}

bool TDMServerSettings::DeviceTypeNameExists(const std::string& name) {
  return DeviceKindNameExists(Session(), name);
}

bool TDMServerSettings::DeviceTypeNoExists(int32_t typeNo) {
  return DeviceKindNumberExists(Session(), typeNo);
}

} // namespace voxmit
