#pragma once
// Process-wide settings filled by the option apply handlers (dmodServerOptions, UI thread) and
// read by every other unit each time it needs them, from any thread, without locking: a reader
// sees the old or the new value. They start with the option defaults. The log folder is kept
// by LogFile.h (UI thread only).

#include <atomic>
#include <cstdint>

namespace voxmit::settings {

inline std::atomic<bool> LogToFile{false};
inline std::atomic<int32_t> LogFileMaxLines{10000};
inline std::atomic<int32_t> LogFilesNoMax{4};  // LogFilesNo minus 1: the highest file number
inline std::atomic<bool> LogZeroCarrier{false};
inline std::atomic<bool> AddDateToMsg{true};
inline std::atomic<int32_t> SchedulerRequeryPeriod{10000};
inline std::atomic<int32_t> SentConfirmationsRequeryPeriod{10000};
inline std::atomic<int32_t> ThreadWaitLoopTimeout{2000};  // at least MinWaitSliceMs
inline std::atomic<int32_t> ModemConnectTimeout{30000};
inline std::atomic<int32_t> ModemDisconnectTimeout{10000};
inline std::atomic<int32_t> DtrHangupDelay{3000};
inline std::atomic<int32_t> ModemResponseTimeout{2000};
inline std::atomic<int32_t> LogonRetries{3};
inline std::atomic<int32_t> MessageRetries{3};
inline std::atomic<int32_t> MaxMessagesPerConnectionPACNET{10000};
inline std::atomic<int32_t> HeraldTimeoutPACNET{20000};
inline std::atomic<int32_t> LogonTimeoutPACNET{15000};
inline std::atomic<int32_t> SendMessageTimeoutPACNET{15000};
inline std::atomic<int32_t> MaxMessagesPerConnectionTAP{9};
inline std::atomic<int32_t> MaxUnsentMessageAge{60};         // minutes
inline std::atomic<int32_t> MaxUnconfirmedMessageAge{1440};  // minutes
inline std::atomic<int32_t> MaxArchivedMessageAge{10080};    // minutes
inline std::atomic<int32_t> MaintenancePeriod{20};           // effective period, minutes
inline std::atomic<int32_t> OutputBufferLimit{1000};
inline std::atomic<int32_t> InputBufferLimitPACNET{1000};
inline std::atomic<int32_t> InputBufferLimitTAP{27};
inline std::atomic<int32_t> InputBufferLimitSMS{200};
inline std::atomic<int32_t> MaxMessagesPerConnectionSMS{50};
// Client connections served at once (at least 1); the listener closes any beyond at once.
inline std::atomic<int32_t> MaxConnections{1000};

// The shortest wait slice: a slice of 0 would turn every waiting thread into a busy loop.
inline constexpr int32_t MinWaitSliceMs = 10;

// Lowers the effective maintenance period to the smallest of itself and the three age limits
// (minutes) and returns it. Called by the maintenance handlers and at the maintenance start.
inline int32_t ClampMaintenancePeriod() {
  int32_t p = MaintenancePeriod.load();
  for (int32_t v : {MaxUnsentMessageAge.load(), MaxUnconfirmedMessageAge.load(),
                    MaxArchivedMessageAge.load()})
    if (v < p) p = v;
  MaintenancePeriod = p;
  return p;
}

} // namespace voxmit::settings
