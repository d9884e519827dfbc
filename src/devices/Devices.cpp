#include <algorithm>
#include "devices/Devices.h"

#include <Poco/Data/RecordSet.h>
#include <Poco/Data/Statement.h>
#include <Poco/Format.h>
#include <Poco/NumberParser.h>
#include <Poco/String.h>

#include "common/CommaText.h"
#include "common/ServerTypes.h"
#include "host/LogFile.h"
#include "host/WindowMessages.h"
#include "platform/TNMainLoop.h"
#include "store/dmodData.h"

namespace voxmit {

namespace {

// Devices joined with their kind's name. A device whose kind has no DeviceTypes row drops out
// of the join. ID order keeps the pool in the order the operator created the devices.
constexpr const char* kDevicesQuery =
    "SELECT d.ID, COALESCE(t.Name, ''), COALESCE(d.SettingsData, ''), d.TypeNo, "
    "COALESCE(d.Name, '') FROM Devices d, DeviceTypes t WHERE d.TypeNo = t.TypeNo "
    "ORDER BY d.ID";

std::string Item(const std::vector<std::string>& items, size_t index) {
  return index < items.size() ? items[index] : std::string();
}

// The item as a decimal integer, or fallback when it is missing or not a number.
int32_t IntItem(const std::vector<std::string>& items, size_t index, int32_t fallback) {
  int value = 0;
  return Poco::NumberParser::tryParse(Poco::trim(Item(items, index)), value) ? value : fallback;
}

} // namespace

std::optional<TDeviceKind> DeviceKindOfCarrierType(int32_t carrierType) {
  if (carrierType == CT_TAP || carrierType == CT_PACNET) return DK_MODEM;
  if (carrierType == CT_DIRECT_TAP) return DK_DIRECT_SERIAL;
  if (carrierType == CT_GSM_SMS) return DK_GSM_MODEM;
  if (carrierType >= CT_SMTP && carrierType <= CT_ACUGK) return DK_IP_NETWORK;
  return std::nullopt;
}

TNDevice::TNDevice(TNDeviceRow row)
    : DeviceKind(row.DeviceKind),
      SettingsData(std::move(row.SettingsData)),
      Name(std::move(row.Name)),
      ID(row.ID),
      TypeName(std::move(row.TypeName)) {}

std::string TNDevice::Activity() const {
  std::lock_guard lock(activityMutex_);
  return activity_;
}

void TNDevice::SetActivity(std::string text) {
  std::lock_guard lock(activityMutex_);
  activity_ = std::move(text);
}

void TNDevicesList::LoadDevices(Poco::Data::Session& session) {
  using namespace Poco::Data::Keywords;
  Clear();
  Poco::Data::Statement select(session);
  select << kDevicesQuery, now;
  Poco::Data::RecordSet rows(select);
  for (bool more = rows.moveFirst(); more; more = rows.moveNext()) {
    const int32_t typeNo = rows[3].convert<int32_t>();
    Add(std::make_shared<TNDevice>(
        TNDeviceRow{.ID = rows[0].convert<int32_t>(),
                    .TypeName = rows[1].convert<std::string>(),
                    .SettingsData = rows[2].convert<std::string>(),
                    .DeviceKind = static_cast<TDeviceKind>(static_cast<uint8_t>(typeNo)),
                    .Name = rows[4].convert<std::string>()}));
  }
}

void TNDevicesList::LoadDevices() { LoadDevices(DMData()->ThreadSession()); }

void TNDevicesList::Clear() { devices_.clear(); }

void TNDevicesList::Add(std::shared_ptr<TNDevice> device) { devices_.push_back(std::move(device)); }

std::shared_ptr<TNDevice> TNDevicesList::Items(int32_t index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return devices_[index];
}

std::shared_ptr<TNDevice> TNDevicesList::FindDevice(int32_t id) const {
  for (const auto& device : devices_)
    if (device->ID == id) return device;
  return nullptr;
}

int32_t TNDevicesList::CountDevicesForCarrierType(int32_t carrierType) const {
  const auto kind = DeviceKindOfCarrierType(carrierType);
  if (!kind) {
    LogMessage(Poco::format("There is no DeviceType registered for the CarrierType: \"%d\"",
                            carrierType));
    return 0;
  }
  int32_t count = 0;
  for (const auto& device : devices_)
    if (device->DeviceKind == *kind) ++count;
  return count;
}

std::shared_ptr<TNDevice> TNDevicesList::FirstFreeDevice(TDeviceKind kind) const {
  for (const auto& device : devices_)
    if (device->DeviceKind == kind && !device->Taken) return device;
  return nullptr;
}

void TNDevicesList::ClearTaken() {
  for (const auto& device : devices_) device->Taken = false;
}

TNDevicesList& DevicesList() {
  static TNDevicesList pool;
  return pool;
}

void SetDeviceActivity(TNDevice& device, const std::string& text) {
  device.SetActivity(text);
  if (DeviceActivityWindowOpen)
    TNMainLoop::Instance().Post(WM_DEVICE_ACTIVITY, device.ID, 0, text);
}

bool ParseModemDeviceSettings(const std::string& settingsData, TModemDeviceSettings& out) {
  const auto items = SplitCommaText(settingsData);
  out.Port = Item(items, 0);
  out.InitString = Item(items, 1);
  out.DialPrefix = Item(items, 2);
  out.WaitForDialTone = Poco::icompare(Poco::trim(Item(items, 3)), "true") == 0;
  out.RedialAttempts = IntItem(items, 4, 3);
  // Seconds in the settings; kept within what a 32-bit millisecond count can hold.
  const int64_t redialDelayMs = int64_t{IntItem(items, 5, 1)} * 1000;
  out.RedialDelayMs = static_cast<int32_t>(std::clamp<int64_t>(redialDelayMs, 0, INT32_MAX));
  return items.size() == 6;
}

bool ParseDirectDeviceSettings(const std::string& settingsData, TDirectDeviceSettings& out) {
  const auto items = SplitCommaText(settingsData);
  out.Port = Item(items, 0);
  return items.size() == 1;
}

bool ParseGsmDeviceSettings(const std::string& settingsData, TGsmDeviceSettings& out) {
  const auto items = SplitCommaText(settingsData);
  out.Port = Item(items, 0);
  out.BaudRateIndex = IntItem(items, 1, -1);
  out.ModuleIndex = IntItem(items, 2, -1);
  out.SmsModeIndex = IntItem(items, 3, -1);
  return items.size() == 4;
}

bool ParseIpDeviceSettings(const std::string& settingsData, TIpDeviceSettings& out) {
  const auto items = SplitCommaText(settingsData);
  out.Host = Item(items, 0);
  out.Port = Item(items, 1);
  out.ProtocolIndex = IntItem(items, 2, -1);
  return items.size() == 3;
}

} // namespace voxmit
