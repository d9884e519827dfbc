#pragma once
// A carrier channel that owns one serial port: opens and configures it, writes and reads raw
// bytes with time limits, and closes it again.
//
// Threads: the port belongs to the channel's worker. The iterator constructs the channel; from
// then on only the worker calls these operations (the settings fields are written before the
// worker starts). Non-copyable: it owns the port.
//
// The line settings (speed, data bits, parity, stop bits) belong to each carrier's own
// settings; a carrier's InitPort passes them to OpenPort.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "channels/BaseChannel.h"
#include "platform/SerialPort.h"

namespace voxmit {

// Results of ReadFromComPort (rwOK, rwTimeOut, rwError) and of WriteToComPort (rwOK,
// rwShortWrite, rwError); the two routines share the codes 0 and 2.
enum TComPortResult : int32_t { rwOK = 0, rwTimeOut = 1, rwShortWrite = 1, rwError = 2 };

// Abstract: serial carriers derive from it.
class TBaseChannelComPort : public TNBaseCarrierChannel {
protected:
  explicit TBaseChannelComPort(const TNChannelArgs& args);

  // Every serial carrier opens its port with its own line settings, through OpenPort.
  bool InitPort() override = 0;
  // Closes the port, lets the hardware settle for ModemResponseTimeout ms, and shows the port
  // as freed; false when closing failed.
  bool ResetPort() override;

  // Opens PortName with the line settings and keeps the handle (none on failure); device
  // activity "... - Port Initialized OK" or "... - Error Initializing the Port".
  bool OpenPort(const TSerialLineSettings& line);
  // Opens and configures the named port into handle; handle is empty on failure.
  bool OpenComPort(std::unique_ptr<TNSerialPort>& handle, const std::string& portName,
                   const TSerialLineSettings& line);
  // Writes every byte of data unless timeoutMs passes first (rwShortWrite) or the port fails
  // (rwError).
  TComPortResult WriteToComPort(std::string_view data, int32_t timeoutMs);
  // Takes what has arrived, at most 512 bytes, waiting at most 100 ms (less when timeoutMs is
  // shorter): rwOK with possibly empty text, rwError when the port failed or the far end hung
  // up. rwTimeOut is kept for the callers' sake; a read here always completes.
  TComPortResult ReadFromComPort(std::string& text, int32_t timeoutMs);

  // The open port; empty while closed.
  std::unique_ptr<TNSerialPort> PortHandle;
  std::string PortName;  // from the device settings
};

} // namespace voxmit
