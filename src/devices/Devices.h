#pragma once
// The device pool: every configured modem, direct serial line, GSM modem and IP network
// endpoint, loaded from the Devices table at each server start. The scheduler plans which
// carrier may use which device (Taken); a carrier channel borrows a device for its whole life
// through the device's FreeEvent and reports what it is doing in Activity.
//
// Threads:
//   - LoadDevices and Clear run on the UI thread during the start sequence, before the
//     scheduler thread and any channel exist; after that the membership does not change until
//     the next start, so Count, Items, FindDevice and the planning helpers need no lock.
//   - Taken is read and written by the scheduler thread only (FirstFreeDevice, ClearTaken).
//   - FreeEvent is used by the channel worker threads: TNEvent::WaitAndTake takes the device
//     (one indivisible wait-and-reset, so no two channels ever hold it), Set gives it back.
//   - Activity: any thread; activityMutex_ makes each write and each read indivisible.
//
// Devices are held through std::shared_ptr: a channel keeps its device until its worker has
// written its last log line, also when the pool is reloaded in the meantime.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <Poco/Data/Session.h>

#include "common/ServerTypes.h"
#include "platform/TNEvent.h"

namespace voxmit {

// Device kinds: DeviceTypes.TypeNo, compared as 8-bit values.
enum TDeviceKind : uint8_t {
  DK_MODEM = 1,          // dial-up modem on a serial port: CT_TAP, CT_PACNET
  DK_DIRECT_SERIAL = 2,  // serial line wired to the carrier: CT_DIRECT_TAP
  DK_GSM_MODEM = 3,      // GSM modem on a serial port: CT_GSM_SMS
  DK_IP_NETWORK = 4      // IP network endpoint: CT_SMTP to CT_ACUGK
};

// The device kind that serves a carrier type; nothing for a type without one (the client
// protocol accepts any integer as carrier type).
std::optional<TDeviceKind> DeviceKindOfCarrierType(int32_t carrierType);

// What a device is made of, given by name:
// TNDeviceRow{.ID = 1, .TypeName = "Modem", .SettingsData = "COM1,...", .DeviceKind = DK_MODEM,
//             .Name = "Modem 1"}.
struct TNDeviceRow {
  int32_t ID = 0;
  std::string TypeName{};      // DeviceTypes.Name of the kind
  std::string SettingsData{};  // comma text of the kind
  TDeviceKind DeviceKind = DK_MODEM;
  std::string Name{};
};

class TNDevice {
public:
  explicit TNDevice(TNDeviceRow row);
  TNDevice(const TNDevice&) = delete;
  TNDevice& operator=(const TNDevice&) = delete;

  const TDeviceKind DeviceKind;
  const std::string SettingsData;  // comma text; see the Parse...Settings functions below
  const std::string Name;          // channels put it in their log lines
  TNEvent FreeEvent{true};         // set while no channel holds the device
  const int32_t ID;
  bool Taken = false;              // the scheduler's planning flag of the current pass
  const std::string TypeName;      // DeviceTypes.Name of the kind

  std::string Activity() const;
  void SetActivity(std::string text);

private:
  mutable std::mutex activityMutex_;  // guards activity_
  std::string activity_ = "Not Used";
};

// The text a device shows before any channel reported on it.
inline constexpr const char* kDeviceNotUsed = "Not Used";

class TNDevicesList {
public:
  TNDevicesList() = default;
  TNDevicesList(const TNDevicesList&) = delete;
  TNDevicesList& operator=(const TNDevicesList&) = delete;

  // Replaces the pool with the rows of Devices that have a DeviceTypes row, in ID order.
  // Throws (Poco::Exception) when the query fails; the pool is then empty.
  void LoadDevices(Poco::Data::Session& session);
  // The same on the calling thread's connection of the process's TDMData.
  void LoadDevices();

  void Clear();
  void Add(std::shared_ptr<TNDevice> device);
  int32_t Count() const { return static_cast<int32_t>(devices_.size()); }
  // The device, or nullptr when index is out of range.
  std::shared_ptr<TNDevice> Items(int32_t index) const;
  std::shared_ptr<TNDevice> FindDevice(int32_t id) const;

  // Devices of the carrier type's kind. A type without a kind is logged as an internal error
  // ("There is no DeviceType registered for the CarrierType: \"%d\"") and counts 0.
  int32_t CountDevicesForCarrierType(int32_t carrierType) const;
  // The first device in pool order of that kind whose Taken is clear; nullptr when none.
  std::shared_ptr<TNDevice> FirstFreeDevice(TDeviceKind kind) const;
  void ClearTaken();

private:
  std::vector<std::shared_ptr<TNDevice>> devices_;
};

// The process-wide pool: created at first use, lives until the program ends.
TNDevicesList& DevicesList();

// Set by the device activity window while it is open: SetDeviceActivity then posts
// WM_DEVICE_ACTIVITY to the main loop.
inline std::atomic<bool> DeviceActivityWindowOpen{false};

// Stores the text as the device's Activity and, while the activity window is open, posts
// WM_DEVICE_ACTIVITY with WParam = the device's ID (the window finds the row by ID and looks
// the device up in DevicesList(), so no pointer can dangle) and a copy of the text. Any thread.
void SetDeviceActivity(TNDevice& device, const std::string& text);

// ---- SettingsData of each kind --------------------------------------------------------------
// Each parser reads what it can: missing items keep the defaults shown, and the result tells
// whether the text held exactly the kind's item count (the editors refuse other texts).

struct TModemDeviceSettings {   // kind 1, 6 items
  std::string Port;             // "COM2"
  std::string InitString;
  std::string DialPrefix;
  bool WaitForDialTone = false; // item "true" in any case, trimmed
  int32_t RedialAttempts = 3;   // 3 when not a number
  int32_t RedialDelayMs = 1000; // item in seconds; 1 s when not a number
};
bool ParseModemDeviceSettings(const std::string& settingsData, TModemDeviceSettings& out);

struct TDirectDeviceSettings {  // kind 2, 1 item
  std::string Port;
};
bool ParseDirectDeviceSettings(const std::string& settingsData, TDirectDeviceSettings& out);

struct TGsmDeviceSettings {     // kind 3, 4 items; indexes are -1 when none was chosen
  std::string Port;
  int32_t BaudRateIndex = -1;   // into 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200
  // Into Unknown, Nokia, Wavecom, Ericsson, Simens, Motorola, SIMcom ("Simens" (sic) is the
  // editor's own list entry, kept).
  int32_t ModuleIndex = -1;
  int32_t SmsModeIndex = -1;    // 0 Text, 1 PDU
};
bool ParseGsmDeviceSettings(const std::string& settingsData, TGsmDeviceSettings& out);

struct TIpDeviceSettings {      // kind 4, 3 items
  std::string Host;             // empty for the ACU protocol
  std::string Port;             // decimal text, empty for the ACU protocol
  int32_t ProtocolIndex = -1;   // into SMTP, SNPP, WCTP, MSG, ACU, ACU_GK; -1 when not a number
};
bool ParseIpDeviceSettings(const std::string& settingsData, TIpDeviceSettings& out);

} // namespace voxmit
