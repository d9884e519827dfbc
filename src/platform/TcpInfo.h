#pragma once
// What the kernel knows of a TCP connection that the C library's view of TCP_INFO leaves out.
// Kept apart because the kernel's tcp header cannot be included together with <netinet/tcp.h>.
// Pure system calls on a descriptor the caller owns; safe from any thread.

#include <cstdint>

namespace voxmit {

// Bytes of data sent on fd that the peer has acknowledged (tcpi_bytes_acked; it keeps its
// value after the connection failed, until the descriptor is closed); -1 when it cannot be
// read.
int64_t TcpBytesAcknowledged(int fd);

} // namespace voxmit
