#pragma once
// The hidden form's custom message codes, posted through TNMainLoop. The values are fixed:
// clients of the automation interface and the log rely on them.

#include <cstdint>

namespace voxmit {

enum TNWindowMessage : uint32_t {
  WM_USER = 0x400,  // posted empty after the tray menu closes
  WM_TRAY_NOTIFY = 0x4C8,
  WM_LOG_LINE = 0x4C9,
  WM_DEVICE_ACTIVITY = 0x4CA,
  WM_CLIENTS_CHANGED = 0x4CB,
  WM_START_SERVER = 0x4CC,
  WM_STOP_SERVER = 0x4CD,
  WM_SHOW_TRAY_MENU = 0x4CE,
  WM_GATEKEEPER_CONNECT = 0x4CF,
  WM_GATEKEEPER_SEND = 0x4D0,
  WM_GATEKEEPER_CREATE = 0x4D1,
};

} // namespace voxmit
