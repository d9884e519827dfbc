#include "platform/SerialSpeed.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace voxmit {

bool IsCustomSerialSpeed(int32_t baud) {
  switch (baud) {
    case 14400:
    case 28800:
    case 56000:
    case 128000:
    case 256000: return true;
    default: return false;
  }
}

int SetCustomSerialSpeed(int fd, int32_t baud) {
  termios2 tio{};
  if (ioctl(fd, TCGETS2, &tio) < 0) return errno;
  tio.c_cflag &= ~CBAUD;
  tio.c_cflag |= BOTHER;
  tio.c_cflag &= ~(CBAUD << IBSHIFT);
  tio.c_cflag |= BOTHER << IBSHIFT;
  tio.c_ospeed = static_cast<speed_t>(baud);
  tio.c_ispeed = static_cast<speed_t>(baud);
  if (ioctl(fd, TCSETS2, &tio) < 0) return errno;
  return 0;
}

int64_t SerialOutputSpeed(int fd) {
  termios2 tio{};
  if (ioctl(fd, TCGETS2, &tio) < 0) return -1;
  return tio.c_ospeed;
}

} // namespace voxmit
