#pragma once
// Checks a device's SettingsData text for its kind the way the device editors constrain it,
// for callers that take the text from a person rather than from an editor (the command line):
// the kind's item count, a "COM" port with a number of 1 or more, a modem's digits-only
// prefix, wait-for-dial-tone only with a prefix, redial values 1 to 32000, the GSM list
// positions, an IP device's host and a port of 0 to 65535 (none for the ACU protocol).
//
// Kinds without a settings editor (any TypeNo but 1 to 4) accept any text, as the editor
// keeps the stored text of such a device.
//
// Pure functions; any thread.

#include <cstdint>
#include <string>

namespace voxmit {

struct TDeviceSettingsCheck {
  bool Ok = false;
  std::string Reason;      // one line, when not Ok
  std::string Normalized;  // when Ok: the text as the editor would write it (items trimmed,
                           // "true"/"false" in lower case, numbers in plain decimal)
};

TDeviceSettingsCheck CheckDeviceSettings(int32_t typeNo, const std::string& settingsData);

} // namespace voxmit
