#include "channels/ChannelComPort.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "devices/Devices.h"
#include "host/LogFile.h"
#include "host/ServerSettings.h"

namespace voxmit {

namespace {

// A read takes what has arrived within this time, as the port's read time-out did.
constexpr int32_t kReadWindowMs = 100;

} // namespace

TBaseChannelComPort::TBaseChannelComPort(const TNChannelArgs& args) : TNBaseCarrierChannel(args) {}

bool TBaseChannelComPort::OpenPort(const TSerialLineSettings& line) {
  std::unique_ptr<TNSerialPort> handle;
  const bool ok = OpenComPort(handle, PortName, line);
  PortHandle = std::move(handle);
  ShowActivity(ok ? "Port Initialized OK" : "Error Initializing the Port");
  return ok;
}

bool TBaseChannelComPort::ResetPort() {
  bool closed = true;
  if (PortHandle) {
    closed = PortHandle->Close();
    PortHandle.reset();
  }
  // Another channel may open the same port next; give the hardware time to settle.
  std::this_thread::sleep_for(std::chrono::milliseconds(std::max(0, settings::ModemResponseTimeout.load())));
  ShowActivity(closed ? "Not Used (Port Freed)" : "Not Used (Error Freeing the Port)");
  return closed;
}

bool TBaseChannelComPort::OpenComPort(std::unique_ptr<TNSerialPort>& handle,
                                      const std::string& portName,
                                      const TSerialLineSettings& line) {
  handle.reset();
  auto port = std::make_unique<TNSerialPort>();
  if (portName.empty() || !port->Open(portName, line)) return false;
  handle = std::move(port);
  return true;
}

TComPortResult TBaseChannelComPort::WriteToComPort(std::string_view data, int32_t timeoutMs) {
  if (!PortHandle) return rwError;
  size_t written = 0;
  const TSerialIoResult r =
      PortHandle->Write(data, std::chrono::milliseconds(std::max(0, timeoutMs)), &written);
  if (r == sioOK && written == data.size()) return rwOK;
  // Bytes not handed over by the deadline are simply never written: nothing stays pending.
  return r == sioTimeout ? rwShortWrite : rwError;
}

TComPortResult TBaseChannelComPort::ReadFromComPort(std::string& text, int32_t timeoutMs) {
  text.clear();
  if (!PortHandle) {
    LogMessage("TBaseChannelComPort.ReadFromComPort, rwError");
    return rwError;
  }
  const int32_t window = std::clamp(timeoutMs, 0, kReadWindowMs);
  const TSerialIoResult r = PortHandle->Read(text, std::chrono::milliseconds(window));
  if (r == sioError) {
    text.clear();
    LogMessage("TBaseChannelComPort.ReadFromComPort, rwError");
    return rwError;
  }
  if (!text.empty())
    LogMessage("TBaseChannelComPort.ReadFromComPort, Read String: " + MakeControlsVisible(text));
  return rwOK;
}

} // namespace voxmit
