#include "DeviceTableModels.h"

#include <Poco/Data/RecordSet.h>
#include <Poco/Data/Statement.h>

#include "store/DeviceTables.h"

namespace voxmit {

using Poco::Data::Keywords::bind;
using Poco::Data::Keywords::now;

namespace {

std::string TextAt(const Poco::Data::RecordSet& rs, size_t col, size_t row) {
  const Poco::Dynamic::Var v = rs.value(col, row);
  return v.isEmpty() ? std::string() : v.convert<std::string>();
}

int32_t IntAt(const Poco::Data::RecordSet& rs, size_t col, size_t row) {
  const Poco::Dynamic::Var v = rs.value(col, row);
  return v.isEmpty() ? 0 : v.convert<int32_t>();
}

} // namespace

TDevicesModel::TDevicesModel(Poco::Data::Session& session, QObject* parent)
    : QAbstractTableModel(parent), session_(session) {
  Reload();
}

void TDevicesModel::Reload() {
  Poco::Data::Statement select(session_);
  select << "SELECT d.ID, d.TypeNo, d.SettingsData, d.Name, t.Name FROM Devices d "
            "LEFT JOIN DeviceTypes t ON t.TypeNo = d.TypeNo ORDER BY d.ID";
  select.execute();
  Poco::Data::RecordSet rs(select);
  std::vector<TDeviceRecord> rows;
  for (size_t r = 0; r < rs.rowCount(); ++r)
    rows.push_back({IntAt(rs, 0, r), IntAt(rs, 1, r), TextAt(rs, 2, r), TextAt(rs, 3, r),
                    TextAt(rs, 4, r)});
  beginResetModel();
  rows_ = std::move(rows);
  endResetModel();
}

void TDevicesModel::Save(const TDeviceRecord& rec) {
  if (rec.ID == 0)
    InsertDevice(session_, rec.TypeNo, rec.SettingsData, rec.Name);
  else
    UpdateDevice(session_, rec.ID, rec.TypeNo, rec.SettingsData, rec.Name);
  Reload();
}

void TDevicesModel::Remove(int32_t id) {
  DeleteDevice(session_, id);
  Reload();
}

int TDevicesModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TDevicesModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 3; }

QVariant TDevicesModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid()) return {};
  const TDeviceRecord& rec = Row(index.row());
  switch (index.column()) {
    case 0: return QString::fromStdString(rec.Name);
    case 1: return QString::fromStdString(rec.TypeName);
    case 2: return QString::fromStdString(rec.SettingsData);
  }
  return {};
}

QVariant TDevicesModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole || orientation != Qt::Horizontal) return {};
  static const char* const names[] = {"Device Name", "Type", "Settings"};
  return section >= 0 && section < 3 ? names[section] : QVariant();
}

TDeviceKindsModel::TDeviceKindsModel(Poco::Data::Session& session, QObject* parent)
    : QAbstractTableModel(parent), session_(session) {
  Reload();
}

void TDeviceKindsModel::Reload() {
  Poco::Data::Statement select(session_);
  select << "SELECT ID, Name, TypeNo FROM DeviceTypes ORDER BY ID";
  select.execute();
  Poco::Data::RecordSet rs(select);
  std::vector<TDeviceKindRecord> rows;
  for (size_t r = 0; r < rs.rowCount(); ++r)
    rows.push_back({IntAt(rs, 0, r), TextAt(rs, 1, r), IntAt(rs, 2, r)});
  beginResetModel();
  rows_ = std::move(rows);
  endResetModel();
}

void TDeviceKindsModel::Save(const TDeviceKindRecord& rec) {
  std::string name = rec.Name;
  int32_t typeNo = rec.TypeNo;
  if (rec.ID == 0) {
    InsertDeviceKind(session_, typeNo, name);
  } else {
    int32_t id = rec.ID;
    session_ << "UPDATE DeviceTypes SET TypeNo = ?, Name = ? WHERE ID = ?", bind(typeNo),
        bind(name), bind(id), now;
  }
  Reload();
}

void TDeviceKindsModel::Remove(int32_t id) {
  session_ << "DELETE FROM DeviceTypes WHERE ID = ?", bind(id), now;
  Reload();
}

int TDeviceKindsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TDeviceKindsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : 2;
}

QVariant TDeviceKindsModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid()) return {};
  const TDeviceKindRecord& rec = Row(index.row());
  return index.column() == 0 ? QVariant(QString::fromStdString(rec.Name)) : QVariant(rec.TypeNo);
}

QVariant TDeviceKindsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole || orientation != Qt::Horizontal) return {};
  return section == 0 ? QVariant("Name") : section == 1 ? QVariant("TypeNo") : QVariant();
}

} // namespace voxmit
