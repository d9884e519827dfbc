#include "frmDeviceActivity.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "devices/Devices.h"

namespace voxmit {

namespace {
enum TColumn { colNo, colDevice, colType, colStatus };
constexpr int kDeviceIdRole = Qt::UserRole;
}

TFormDeviceActivity::TFormDeviceActivity(const TNDevicesList& devices, QWidget* parent)
    : TFormBase("TFormDeviceActivity", parent), devices_(devices) {
  setWindowTitle("  Device Activity Window");
  lvDevices = new QTreeWidget(this);
  lvDevices->setHeaderLabels({"No.", "Device", "Type", "Status"});
  lvDevices->setRootIsDecorated(false);
  btnClose = new QPushButton("Close", this);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnClose);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lvDevices);
  layout->addLayout(buttons);
  resize(560, 300);
  lvDevices->header()->resizeSection(colNo, 40);
  lvDevices->header()->resizeSection(colDevice, 140);
  lvDevices->header()->resizeSection(colType, 90);
  connect(btnClose, &QPushButton::clicked, this, &QDialog::close);

  DeviceActivityWindowOpen = true;
  FillList();
  LoadFormSettings();
  LoadColumnWidths(*lvDevices->header());
}

TFormDeviceActivity::~TFormDeviceActivity() { DeviceActivityWindowOpen = false; }

void TFormDeviceActivity::SaveFormSettings() {
  SaveColumnWidths(*lvDevices->header());
  TFormBase::SaveFormSettings();
}

void TFormDeviceActivity::FillList() {
  lvDevices->clear();
  for (int32_t i = 0; i < devices_.Count(); ++i) {
    const std::shared_ptr<TNDevice> device = devices_.Items(i);
    if (!device) continue;
    auto* row = new QTreeWidgetItem(lvDevices);
    row->setText(colNo, QString::number(i + 1));
    row->setText(colDevice, QString::fromStdString(device->Name));
    row->setText(colType, QString::fromStdString(device->TypeName));
    row->setText(colStatus, QString::fromStdString(device->Activity()));
    row->setData(colNo, kDeviceIdRole, device->ID);
  }
}

void TFormDeviceActivity::DeviceActivity(int32_t deviceId, const std::string& text) {
  for (int i = 0; i < lvDevices->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = lvDevices->topLevelItem(i);
    if (row->data(colNo, kDeviceIdRole).toInt() == deviceId)
      row->setText(colStatus, QString::fromStdString(text));
  }
}

} // namespace voxmit
