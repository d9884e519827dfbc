#include "platform/TcpInfo.h"

#include <cstddef>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace voxmit {

int64_t TcpBytesAcknowledged(int fd) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return -1;
  // An older kernel fills less of the structure.
  if (size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) return -1;
  return static_cast<int64_t>(info.tcpi_bytes_acked);
}

} // namespace voxmit
