#pragma once
// A serial port opened exclusively, in raw mode, with every wait bounded by a deadline.
//
// Port names: a name starting with '/' is a device path; otherwise the section [Ports] of
// ComPorts.ini in the home folder may map it (COM3=/dev/ttyUSB0); without an entry "COMn" is
// /dev/ttyS(n-1). Another opener of the same device (in this or another process) is refused.
//
// Threads: a port belongs to one thread at a time (the channel's worker); none of its
// operations may run concurrently with another on the same object. ResolvePortName is safe
// from any thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include <termios.h>

namespace voxmit {

// Parity and stop bits keep the codes the device and carrier settings use.
enum TSerialParity : uint8_t { spNone = 0, spOdd = 1, spEven = 2, spMark = 3, spSpace = 4 };
enum TSerialStopBits : uint8_t { ssOne = 0, ssOneAndHalf = 1, ssTwo = 2 };

struct TSerialLineSettings {
  int32_t BaudRate = 9600;
  int32_t ByteSize = 8;  // data bits, 5 to 8
  uint8_t Parity = spNone;
  uint8_t StopBits = ssOne;
};

// Outcome of a read, write or wait.
enum TSerialIoResult : int32_t { sioOK = 0, sioTimeout = 1, sioError = 2 };

using TSerialClock = std::chrono::steady_clock;
using TSerialDeadline = TSerialClock::time_point;

inline TSerialDeadline SerialDeadlineIn(std::chrono::milliseconds timeout) {
  return TSerialClock::now() + timeout;
}

// Raw mode with the given line settings, on top of the settings the driver reported in tio;
// false for a setting termios cannot express. (A pseudo-terminal ignores the character
// format, so this is where the format can be checked.)
bool BuildSerialTermios(termios& tio, const TSerialLineSettings& settings);

class TNSerialPort {
public:
  // Largest read when the caller gives no limit: the driver input queue of the original port.
  static constexpr size_t kDefaultReadSize = 512;

  TNSerialPort() = default;
  ~TNSerialPort();
  TNSerialPort(const TNSerialPort&) = delete;
  TNSerialPort& operator=(const TNSerialPort&) = delete;

  // The device path for a port name, or "" when the name names no port (no number after
  // "COM", COM0, an empty name).
  static std::string ResolvePortName(const std::string& name);

  // Opens, locks and configures the port, and discards anything queued in either direction.
  // False with LastError() set (ENOENT for a name that names no port, EBUSY when another
  // opener holds it, EINVAL for a line setting the device refuses, else the call's errno).
  // A port that is already open is closed first.
  bool Open(const std::string& name, const TSerialLineSettings& settings);
  bool IsOpen() const { return fd_ >= 0; }
  const std::string& DevicePath() const { return path_; }
  // Releases the lock and closes the device; false when close failed. Closing a closed port
  // is true.
  bool Close();

  // Applies line settings to the open port. False with LastError() when refused.
  bool Configure(const TSerialLineSettings& settings);

  // Writes all of data unless the deadline passes first (sioTimeout) or the device fails
  // (sioError). *written, when given, receives the number of bytes handed to the device.
  TSerialIoResult Write(std::string_view data, TSerialDeadline deadline, size_t* written = nullptr);
  // Waits until at least one byte has arrived or the deadline passes, then takes what has
  // arrived, at most maxBytes, without waiting for more. sioOK with at least one byte in out,
  // sioTimeout with out empty, sioError when the device failed or the far end hung up.
  TSerialIoResult Read(std::string& out, TSerialDeadline deadline,
                       size_t maxBytes = kDefaultReadSize);
  // The receive event: waits until input is there to read.
  TSerialIoResult WaitReadable(TSerialDeadline deadline);

  TSerialIoResult Write(std::string_view data, std::chrono::milliseconds timeout,
                        size_t* written = nullptr) {
    return Write(data, SerialDeadlineIn(timeout), written);
  }
  TSerialIoResult Read(std::string& out, std::chrono::milliseconds timeout,
                       size_t maxBytes = kDefaultReadSize) {
    return Read(out, SerialDeadlineIn(timeout), maxBytes);
  }
  TSerialIoResult WaitReadable(std::chrono::milliseconds timeout) {
    return WaitReadable(SerialDeadlineIn(timeout));
  }

  // Bytes waiting in the driver's input queue; -1 on error.
  int32_t InputQueueSize();
  // Raises or drops DTR. False when the device has no modem lines (a pseudo-terminal) or the
  // port is closed; never throws.
  bool SetDTR(bool on);
  // Test seam: told of every DTR change SetDTR is asked for on an open port, before the device
  // sees it (a pseudo-terminal has no modem lines to show it). Set by the port's owner thread.
  std::function<void(bool on)> OnDtrChange;
  // Discards everything queued in both directions.
  bool Purge();

  // errno of the last failed operation; 0 after success.
  int LastError() const { return lastError_; }
  std::string LastErrorText() const;

private:
  bool Fail(int error);
  TSerialIoResult PollFor(short events, TSerialDeadline deadline);

  int fd_ = -1;
  bool exclusive_ = false;  // this port put the terminal in exclusive mode
  std::string path_;
  int lastError_ = 0;
};

} // namespace voxmit
