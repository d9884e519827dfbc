#pragma once
// Line speeds that have no Bnnn constant on Linux (14400, 28800, 56000, 128000, 256000: rates
// the device editors offer), set through termios2 with BOTHER. Kept apart from SerialPort.cpp
// because the kernel's termios2 header cannot be included together with <termios.h>.
//
// Pure system calls on a descriptor the caller owns; safe from any thread.

#include <cstdint>

namespace voxmit {

// True for the rates set this way.
bool IsCustomSerialSpeed(int32_t baud);
// Sets both directions of fd to baud; 0, or the errno of the failed call.
int SetCustomSerialSpeed(int fd, int32_t baud);
// The output speed fd reports in bits per second, or -1 with errno set.
int64_t SerialOutputSpeed(int fd);

} // namespace voxmit
