#pragma once
// TFormDeviceActivity: what each device of the pool is doing. One row per device in pool
// order; a device's activity change (WM_DEVICE_ACTIVITY, carrying the device's ID and the new
// text) updates its row. UI thread only.

#include "frmBase.h"

class QPushButton;
class QTreeWidget;

namespace voxmit {

class TNDevicesList;

class TFormDeviceActivity : public TFormBase {
  Q_OBJECT
public:
  TFormDeviceActivity(const TNDevicesList& devices, QWidget* parent = nullptr);
  ~TFormDeviceActivity() override;

  void FillList();
  // The row of the device with this ID shows text as its status.
  void DeviceActivity(int32_t deviceId, const std::string& text);

  QTreeWidget* lvDevices;
  QPushButton* btnClose;

protected:
  void SaveFormSettings() override;

private:
  const TNDevicesList& devices_;
};

} // namespace voxmit
