#include "platform/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>

#include "platform/HomeFolder.h"
#include "platform/SerialSpeed.h"

namespace voxmit {
namespace {

std::string Trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\r\n");
  return std::string(s.substr(first, last - first + 1));
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

std::string StripQuotes(std::string value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    return value.substr(1, value.size() - 2);
  return value;
}

// The [Ports] entry for a name in ComPorts.ini, if the file has one.
std::optional<std::string> MappedPort(const std::string& name) {
  std::ifstream in(HomeFolder() / "ComPorts.ini");
  if (!in) return std::nullopt;
  bool inPorts = false;
  std::string line;
  while (std::getline(in, line)) {
    const std::string text = Trim(line);
    if (text.empty() || text[0] == ';' || text[0] == '#') continue;
    if (text.front() == '[') {
      const auto close = text.find(']');
      inPorts = close != std::string::npos && EqualsNoCase(Trim(text.substr(1, close - 1)), "Ports");
      continue;
    }
    const auto eq = text.find('=');
    if (!inPorts || eq == std::string::npos) continue;
    if (EqualsNoCase(Trim(text.substr(0, eq)), name)) return StripQuotes(Trim(text.substr(eq + 1)));
  }
  return std::nullopt;
}

// The n of "COMn" (n >= 1), nothing for any other name.
std::optional<long> ComNumber(const std::string& name) {
  if (name.size() < 4 || !EqualsNoCase(name.substr(0, 3), "COM")) return std::nullopt;
  const std::string digits = name.substr(3);
  if (digits.size() > 6 || !std::all_of(digits.begin(), digits.end(),
                                        [](unsigned char c) { return std::isdigit(c); }))
    return std::nullopt;
  const long n = std::stol(digits);
  if (n < 1) return std::nullopt;
  return n;
}

std::optional<speed_t> SpeedFor(int32_t baud) {
  static constexpr struct {
    int32_t rate;
    speed_t speed;
  } kSpeeds[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},
                 {150, B150},       {200, B200},       {300, B300},       {600, B600},
                 {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
                 {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                 {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
  for (const auto& s : kSpeeds)
    if (s.rate == baud) return s.speed;
  return std::nullopt;
}

std::optional<tcflag_t> CharSizeFor(int32_t byteSize) {
  switch (byteSize) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    case 8: return CS8;
    default: return std::nullopt;
  }
}

} // namespace

bool BuildSerialTermios(termios& tio, const TSerialLineSettings& settings) {
  // A rate without a constant is set afterwards through termios2; B38400 stands in for it here.
  const auto speed =
      IsCustomSerialSpeed(settings.BaudRate) ? std::optional<speed_t>(B38400) : SpeedFor(settings.BaudRate);
  const auto size = CharSizeFor(settings.ByteSize);
  if (!speed || !size) return false;
  cfmakeraw(&tio);
  // CLOCAL: a missing carrier must not block the open or the reads; the dialogue notices a
  // lost call from the modem's own answers.
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  tio.c_cflag |= *size;
  switch (settings.Parity) {
    case spNone: break;
    case spOdd: tio.c_cflag |= PARENB | PARODD; break;
    case spEven: tio.c_cflag |= PARENB; break;
    case spMark: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case spSpace: tio.c_cflag |= PARENB | CMSPAR; break;
    default: return false;
  }
  switch (settings.StopBits) {
    case ssOne: break;
    case ssOneAndHalf:  // termios has 1.5 stop bits only as CSTOPB on 5-bit characters
    case ssTwo: tio.c_cflag |= CSTOPB; break;
    default: return false;
  }
  tio.c_iflag &= ~(INPCK | IGNPAR);
  if (settings.Parity != spNone) tio.c_iflag |= INPCK;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, *speed);
  cfsetospeed(&tio, *speed);
  return true;
}

namespace {

int MillisecondsLeft(TSerialDeadline deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TSerialClock::now()).count();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<long long>(left, 60 * 60 * 1000));
}

} // namespace

TNSerialPort::~TNSerialPort() { Close(); }

std::string TNSerialPort::ResolvePortName(const std::string& rawName) {
  const std::string name = Trim(rawName);
  if (name.empty()) return {};
  if (name.front() == '/') return name;
  if (auto mapped = MappedPort(name)) return *mapped;
  if (auto n = ComNumber(name)) return "/dev/ttyS" + std::to_string(*n - 1);
  return {};
}

bool TNSerialPort::Fail(int error) {
  lastError_ = error;
  return false;
}

std::string TNSerialPort::LastErrorText() const { return std::strerror(lastError_); }

bool TNSerialPort::Open(const std::string& name, const TSerialLineSettings& settings) {
  Close();
  lastError_ = 0;
  const std::string path = ResolvePortName(name);
  if (path.empty()) return Fail(ENOENT);
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Fail(errno);
  fd_ = fd;
  path_ = path;
  if (!isatty(fd_)) {
    Close();
    return Fail(ENOTTY);
  }
  // flock refuses a second opener even when TIOCEXCL does not (root ignores TIOCEXCL).
  if (flock(fd_, LOCK_EX | LOCK_NB) < 0) {
    const int error = errno == EWOULDBLOCK ? EBUSY : errno;
    Close();
    return Fail(error);
  }
  if (ioctl(fd_, TIOCEXCL) == 0) exclusive_ = true;
  if (!exclusive_ || !Configure(settings)) {
    const int error = lastError_ ? lastError_ : errno;
    Close();
    return Fail(error);
  }
  tcflush(fd_, TCIOFLUSH);
  lastError_ = 0;
  return true;
}

bool TNSerialPort::Configure(const TSerialLineSettings& settings) {
  if (fd_ < 0) return Fail(EBADF);
  termios tio{};
  if (tcgetattr(fd_, &tio) < 0) return Fail(errno);
  if (!BuildSerialTermios(tio, settings)) return Fail(EINVAL);
  if (tcsetattr(fd_, TCSANOW, &tio) < 0) return Fail(errno);
  // tcsetattr succeeds when any one of the changes took; check the speed took. The character
  // format is not checked: a pseudo-terminal always keeps 8 bits without parity.
  if (IsCustomSerialSpeed(settings.BaudRate)) {
    if (const int error = SetCustomSerialSpeed(fd_, settings.BaudRate)) return Fail(error);
    if (SerialOutputSpeed(fd_) != settings.BaudRate) return Fail(EINVAL);
  } else {
    termios applied{};
    if (tcgetattr(fd_, &applied) < 0) return Fail(errno);
    if (cfgetospeed(&applied) != cfgetospeed(&tio)) return Fail(EINVAL);
  }
  lastError_ = 0;
  return true;
}

bool TNSerialPort::Close() {
  if (fd_ < 0) return true;
  // The exclusive flag outlives our descriptor on a device that stays open elsewhere (the
  // master of a pseudo-terminal); clear it so the next channel can open the port. Only a flag
  // this port set: an opener refused by the lock must not lift the holder's.
  if (exclusive_) ioctl(fd_, TIOCNXCL);
  exclusive_ = false;
  const int r = close(fd_);  // also releases the flock
  fd_ = -1;
  path_.clear();
  if (r < 0 && errno != EINTR) return Fail(errno);
  return true;
}

TSerialIoResult TNSerialPort::PollFor(short events, TSerialDeadline deadline) {
  if (fd_ < 0) {
    lastError_ = EBADF;
    return sioError;
  }
  for (;;) {
    pollfd p{fd_, events, 0};
    const int r = poll(&p, 1, MillisecondsLeft(deadline));
    if (r < 0) {
      if (errno == EINTR) continue;
      lastError_ = errno;
      return sioError;
    }
    if (r == 0) {
      if (TSerialClock::now() < deadline) continue;  // poll rounds down to whole ms
      return sioTimeout;
    }
    const bool failed = p.revents & (POLLHUP | POLLERR | POLLNVAL);
    // Data that arrived before a hang-up is still delivered; after it the hang-up is an error,
    // or a caller waiting for input would find the port "readable" forever.
    int queued = 0;
    if (!failed || ((events & POLLIN) && ioctl(fd_, FIONREAD, &queued) == 0 && queued > 0))
      return sioOK;
    lastError_ = (p.revents & POLLHUP) ? EIO : EPIPE;
    return sioError;
  }
}

TSerialIoResult TNSerialPort::Write(std::string_view data, TSerialDeadline deadline,
                                    size_t* written) {
  size_t done = 0;
  TSerialIoResult result = sioOK;
  while (done < data.size()) {
    const ssize_t n = write(fd_, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      lastError_ = errno;
      result = sioError;
      break;
    }
    result = PollFor(POLLOUT, deadline);
    if (result != sioOK) break;
  }
  if (written) *written = done;
  return result;
}

TSerialIoResult TNSerialPort::Read(std::string& out, TSerialDeadline deadline, size_t maxBytes) {
  out.clear();
  if (maxBytes == 0) maxBytes = kDefaultReadSize;
  for (;;) {
    const TSerialIoResult ready = PollFor(POLLIN, deadline);
    if (ready != sioOK) return ready;
    out.resize(maxBytes);
    const ssize_t n = read(fd_, out.data(), maxBytes);
    if (n > 0) {
      out.resize(static_cast<size_t>(n));
      return sioOK;
    }
    out.clear();
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    // A terminal reads 0 bytes only after a hang-up.
    lastError_ = n == 0 ? EIO : errno;
    return sioError;
  }
}

TSerialIoResult TNSerialPort::WaitReadable(TSerialDeadline deadline) {
  return PollFor(POLLIN, deadline);
}

int32_t TNSerialPort::InputQueueSize() {
  int n = 0;
  if (fd_ < 0 || ioctl(fd_, FIONREAD, &n) < 0) {
    lastError_ = fd_ < 0 ? EBADF : errno;
    return -1;
  }
  return n;
}

bool TNSerialPort::SetDTR(bool on) {
  if (fd_ < 0) return Fail(EBADF);
  if (OnDtrChange) OnDtrChange(on);
  int bits = TIOCM_DTR;
  if (ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits) < 0) return Fail(errno);
  lastError_ = 0;
  return true;
}

bool TNSerialPort::Purge() {
  if (fd_ < 0) return Fail(EBADF);
  if (tcflush(fd_, TCIOFLUSH) < 0) return Fail(errno);
  return true;
}

} // namespace voxmit
