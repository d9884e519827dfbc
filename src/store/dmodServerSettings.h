#pragma once
// TDMServerSettings: the operator's own connection to the database, for the device and
// device-kind editors and the clear-table commands. It is separate from the server threads'
// connections and may be used while the server runs.
//
// Threads: UI thread only. The connection is opened on demand and closed by
// CloseSettingsConnection (the clear commands close it again when they opened it).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include <Poco/Data/Session.h>

namespace voxmit {

class TDMServerSettings {
public:
  explicit TDMServerSettings(std::filesystem::path file = DefaultDatabaseFile());
  ~TDMServerSettings();
  TDMServerSettings(const TDMServerSettings&) = delete;
  TDMServerSettings& operator=(const TDMServerSettings&) = delete;

  static std::filesystem::path DefaultDatabaseFile();

  // Opens the connection unless open. Throws EDatabaseNotFound when the file is missing (the
  // caller shows its text and ends the program) and EStoreError when it can't be opened.
  void OpenSettingsConnection();
  void CloseSettingsConnection();
  bool Connected() const { return session_.has_value(); }
  // The open connection (opened here if needed), for the editors' tables.
  Poco::Data::Session& Session();

  // Each runs in one transaction; throws EStoreError when the database fails.
  void ClearInMessagesTable();
  void ClearSentMessagesTable();
  void ClearArchivedMessagesTable();
  void ClearCarriersTable();
  // Messages, SentMessages and ArchivedMessages, in that order; Carriers stay.
  void ClearAllMessageTables();

  // Whether a device kind with this name (letter case ignored, as the editors always
  // compared names) / this number exists. The name is bound as a parameter, so any text
  // (quotes included) is just a name.
  bool DeviceTypeNameExists(const std::string& name);
  bool DeviceTypeNoExists(int32_t typeNo);

private:
  void Clear(std::initializer_list<const char*> tables);

  std::filesystem::path file_;
  std::optional<Poco::Data::Session> session_;
};

} // namespace voxmit
