#pragma once
// The hardware tests of the serial device editors: each opens the port on its own (never
// through a channel), speaks a few commands each awaiting its answer within the modem
// response time-out, closes the port and waits that time-out again before the port is used
// anew. The tests block the UI thread for at most their own deadlines. UI thread only.

#include <string>
#include <utility>
#include <vector>

#include "platform/SerialPort.h"

namespace voxmit {

// One exchange: text written, then text awaited.
using TSerialExchange = std::pair<std::string, std::string>;

enum class TSerialTestResult { Passed, PortError, Failed };

// Runs the exchanges in order on port ("COM" + the field's text); stops at the first that
// fails. failedAt receives the index of the exchange that failed.
TSerialTestResult RunSerialTest(const std::string& port, const TSerialLineSettings& line,
                                const std::vector<TSerialExchange>& exchanges,
                                size_t* failedAt = nullptr);

} // namespace voxmit
