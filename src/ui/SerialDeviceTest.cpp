#include "SerialDeviceTest.h"

#include <chrono>
#include <thread>

#include "host/LogFile.h"
#include "host/ServerSettings.h"

namespace voxmit {

namespace {

bool SendModemString(TNSerialPort& port, const std::string& send, const std::string& expect) {
  const auto timeout = std::chrono::milliseconds(settings::ModemResponseTimeout);
  const TSerialDeadline deadline = SerialDeadlineIn(timeout);
  if (port.Write(send, deadline) != sioOK) {
    LogMessage("frmEmbedModemEditor.SendModemString, write failed");
    return false;
  }
  std::string received;
  while (received.find(expect) == std::string::npos) {
    std::string chunk;
    const TSerialIoResult r = port.Read(chunk, deadline);
    if (r == sioError) {
      LogMessage("frmEmbedModemEditor.SendModemString, read failed");
      return false;
    }
    if (r == sioTimeout && chunk.empty()) {
      LogMessage("frmEmbedModemEditor.SendModemString, no answer; received: \"" + received +
                 "\"");
      return false;
    }
    received += chunk;
  }
  return true;
}

} // namespace

TSerialTestResult RunSerialTest(const std::string& port, const TSerialLineSettings& line,
                                const std::vector<TSerialExchange>& exchanges,
                                size_t* failedAt) {
  TNSerialPort serial;
  if (!serial.Open(port, line)) return TSerialTestResult::PortError;
  TSerialTestResult result = TSerialTestResult::Passed;
  for (size_t i = 0; i < exchanges.size(); ++i) {
    if (!SendModemString(serial, exchanges[i].first, exchanges[i].second)) {
      if (failedAt) *failedAt = i;
      result = TSerialTestResult::Failed;
      break;
    }
  }
  serial.Close();
  // As after a channel's use: the device gets its time before the port is opened again.
  std::this_thread::sleep_for(std::chrono::milliseconds(settings::ModemResponseTimeout));
  return result;
}

} // namespace voxmit
