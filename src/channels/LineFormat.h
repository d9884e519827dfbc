#pragma once
// The line format item of the serial carriers' settings: data bits, parity letter and stop
// bits as a comma list of their own ("8,N,1"), trimmed and upper-cased first, so "7,e,1"
// reads as "7,E,1". One reader serves every serial carrier; each judges the outcome by its
// own rules (TAP wants three items and numeric data bits, PACNET numeric data and stop bits,
// GSM also a known parity letter and stop bits of 1 or 2), so the reader reports what
// converted instead of deciding validity itself.
//
// Pure functions: callable from any thread.

#include <cstdint>
#include <string_view>

namespace voxmit {

struct TLineFormat {
  int32_t ByteSize = 0;
  uint8_t Parity = 0;    // 0 none, 1 odd, 2 even
  uint8_t StopBits = 0;  // 0 one, 2 two
};

// What ParseLineFormat found.
struct TLineFormatItems {
  int32_t Count = 0;            // items in the list
  bool DataBits = false;        // item 1 was an integer; stored in ByteSize
  bool Parity = false;          // item 2 started with E, N or O; stored in Parity
  bool StopBits = false;        // item 3 was 1 or 2; stored in StopBits
  bool StopBitsNumber = false;  // item 3 was an integer, whatever its value
};

// Reads field into into. What does not convert leaves its member unchanged: a parity letter
// other than E, N or O keeps the parity, stop bits other than 1 or 2 keep the stop bits.
TLineFormatItems ParseLineFormat(std::string_view field, TLineFormat& into);

} // namespace voxmit
