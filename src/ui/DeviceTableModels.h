#pragma once
// Item models over the Devices and DeviceTypes tables, read and written through the operator's
// settings connection (TDMServerSettings). Every change is written at once, as one statement;
// a failing statement (a database locked by another process, a duplicate TypeNo) throws with
// the database's text and leaves the model as it was. UI thread only.

#include <QAbstractTableModel>
#include <string>
#include <vector>

#include <Poco/Data/Session.h>

namespace voxmit {

struct TDeviceRecord {
  int32_t ID = 0;  // 0 for a row not yet stored
  int32_t TypeNo = 0;
  std::string SettingsData;
  std::string Name;
  std::string TypeName;  // DeviceTypes.Name of TypeNo (looked up)
};

struct TDeviceKindRecord {
  int32_t ID = 0;
  std::string Name;
  int32_t TypeNo = 0;
};

class TDevicesModel : public QAbstractTableModel {
  Q_OBJECT
public:
  explicit TDevicesModel(Poco::Data::Session& session, QObject* parent = nullptr);
  void Reload();
  const TDeviceRecord& Row(int row) const { return rows_.at(static_cast<size_t>(row)); }
  // Stores the record (a new one when its ID is 0) and reloads.
  void Save(const TDeviceRecord& record);
  void Remove(int32_t id);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
  Poco::Data::Session& session_;
  std::vector<TDeviceRecord> rows_;
};

class TDeviceKindsModel : public QAbstractTableModel {
  Q_OBJECT
public:
  explicit TDeviceKindsModel(Poco::Data::Session& session, QObject* parent = nullptr);
  void Reload();
  const TDeviceKindRecord& Row(int row) const { return rows_.at(static_cast<size_t>(row)); }
  const std::vector<TDeviceKindRecord>& Rows() const { return rows_; }
  void Save(const TDeviceKindRecord& record);
  void Remove(int32_t id);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
  Poco::Data::Session& session_;
  std::vector<TDeviceKindRecord> rows_;
};

} // namespace voxmit
